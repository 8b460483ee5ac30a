#include "console/AnswerText.h"

#include "commands/AnswerFields.h"

namespace {

void AppendCode(std::string& s, int code) {
    if (code > 0x20 && code < 0x7F) {
        s += static_cast<char>(code);
    } else {
        static constexpr char kHex[] = "0123456789ABCDEF";
        s += "0x";
        s += kHex[(code >> 4) & 0x0F];
        s += kHex[code & 0x0F];
    }
}

void AppendCounts(std::string& s, std::string_view key, const int (&v)[4], const bool (&has)[4]) {
    s += ' ';
    s += key;
    for (int b = 0; b < 4; ++b) {
        s += b == 0 ? ' ' : ',';
        s += has[b] ? std::to_string(v[b]) : std::string("-");
    }
}

}  // namespace

std::string AnswerSummary(const ev::Answer& a) {
    if (a.code < 0) return {};
    std::string s;
    AppendCode(s, a.code);
    s += ':';
    const std::size_t bare = s.size();
    bool countsShown = false;
    for (const ev::FieldValue& f : a.fields) {
        if (!f.row) continue;
        const FieldDecode d = f.row->decode;
        if (d == FieldDecode::Dispensed || d == FieldDecode::Rejected) {
            // Counted or not, the frame's own counts (the counters' copy is
            // written only for the awaited answer).
            if (!a.counts || countsShown) continue;
            AppendCounts(s, "dispensed", a.counts->dispensed, a.counts->has);
            AppendCounts(s, "rejected", a.counts->rejected, a.counts->has);
            countsShown = true;
            continue;
        }
        if (d >= FieldDecode::Request) continue;  // the send's request, a batch's sums and totals
        const int n = f.row->count < 0 ? 0 : (f.row->count > 4 ? 4 : f.row->count);
        bool any = false;
        for (int i = 0; i < n; ++i) any = any || !f.v[static_cast<std::size_t>(i)].empty();
        if (!any) continue;
        s += ' ';
        s += f.row->key;
        for (int i = 0; i < n; ++i) {
            const std::string_view v = f.v[static_cast<std::size_t>(i)];
            s += i == 0 ? ' ' : ',';
            if (v.empty()) {
                s += '-';
                continue;
            }
            // Values are shown as the window shows them; a byte the frame
            // held that is not printable stays readable here.
            for (char c : v) s += (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F) ? c : '?';
        }
    }
    if (s.size() == bare) s.pop_back();  // the code alone
    return s;
}
