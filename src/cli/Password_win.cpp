// The service password on Windows: from a file or standard input, or asked
// on the console with echo off (the console's input mode without
// ENABLE_ECHO_INPUT), the mode put back in every case.
#include "cli/Password.h"

#include "files/FileIo.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

namespace cli {

namespace {

// Lines end at "\n"; a "\r" before it is dropped; no more than
// kMaxPasswordLine bytes are kept.
void Trim(std::string& line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
}

std::string Utf8(const wchar_t* w, std::size_t n) {
    if (n == 0) return {};
    const int len = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), s.data(), len, nullptr, nullptr);
    return s;
}

// A Ctrl+C at the prompt ends the console read before the console's
// handler has run; it is given a moment to count the stop.
bool StopArrives(const std::atomic<int>& stop) {
    for (int i = 0; i < 20 && stop.load() == 0; ++i) Sleep(10);
    return stop.load() > 0;
}

}  // namespace

PasswordStatus ReadPasswordFile(const std::string& path, std::string& password, std::string& why,
                                const std::atomic<int>& stop) {
    password.clear();
    files::File file;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (path != "-") {
        file = files::File::Open(path, files::kRead);
        if (!file) {
            why = "cannot read the password file " + path + ": " + std::strerror(errno);
            return PasswordStatus::NoFile;
        }
    }
    for (;;) {
        char c = 0;
        long long n;
        if (file) {
            n = file.Read(&c, 1);
        } else {
            DWORD got = 0;
            const BOOL ok = in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, &c, 1, &got, nullptr);
            const DWORD e = ok ? 0 : GetLastError();
            n = ok ? static_cast<long long>(got) : e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF ? 0 : -1;
            if (n < 0) errno = EIO;
        }
        if (n == 0) break;
        if (n < 0) {
            if (stop.load() > 0) return PasswordStatus::Interrupted;
            why = "cannot read the password file " + path + ": " + std::strerror(errno);
            return PasswordStatus::NoFile;
        }
        if (c == '\n') break;
        if (password.size() == kMaxPasswordLine) break;  // no password is this long: read no further
        password.push_back(c);
    }
    if (stop.load() > 0) return PasswordStatus::Interrupted;
    Trim(password);
    return PasswordStatus::Ok;
}

PasswordStatus AskPassword(std::string& password, std::string& why, const std::atomic<int>& stop) {
    password.clear();
    const HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    const HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD saved = 0;
    if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &saved)) {
        if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        why = "no console to ask the service password on; give --password-file FILE, or --password-file - for "
              "standard input";
        return PasswordStatus::NoTerminal;
    }
    // Line input without echo; Ctrl+C still goes to the console handler.
    SetConsoleMode(in, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
    static constexpr wchar_t kPrompt[] = L"Enter Password: ";
    DWORD done = 0;
    WriteConsoleW(out, kPrompt, static_cast<DWORD>(sizeof kPrompt / sizeof kPrompt[0] - 1), &done, nullptr);
    std::wstring line;
    bool ok = true, ended = false;
    while (!ended && line.size() <= kMaxPasswordLine) {
        wchar_t buf[64];
        DWORD got = 0;
        if (!ReadConsoleW(in, buf, static_cast<DWORD>(sizeof buf / sizeof buf[0]), &got, nullptr) || got == 0) {
            ok = false;
            break;
        }
        for (DWORD i = 0; i < got && !ended; ++i) {
            if (buf[i] == L'\n')
                ended = true;
            else
                line.push_back(buf[i]);
        }
    }
    SetConsoleMode(in, saved);
    WriteConsoleW(out, L"\r\n", 2, &done, nullptr);  // the Enter was not echoed
    CloseHandle(in);
    CloseHandle(out);
    if (!ok && StopArrives(stop)) return PasswordStatus::Interrupted;
    if (stop.load() > 0) return PasswordStatus::Interrupted;
    if (!ok) {
        why = "cannot read the password from the console";
        return PasswordStatus::NoTerminal;
    }
    password = Utf8(line.data(), line.size());
    Trim(password);
    if (password.size() > kMaxPasswordLine) password.resize(kMaxPasswordLine);
    return PasswordStatus::Ok;
}

}  // namespace cli
