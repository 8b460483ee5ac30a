#include "results/ResultsWriter.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace db {

namespace {

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "unknown";
    return buf;
}

std::string LoginName() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
    return std::to_string(::geteuid());
}

std::string NewRunId(const std::string& host) {
    const std::int64_t ms = NowMs();
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02d.%03dZ-%d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000),
                  static_cast<int>(::getpid()));
    return host + "-" + buf;
}

}  // namespace

RunRow NewRunRow(std::string command, std::string toolVersion) {
    RunRow r;
    r.station = HostName();
    r.runId = NewRunId(r.station);
    r.operatorName = LoginName();
    r.command = std::move(command);
    r.toolVersion = std::move(toolVersion);
    return r;
}

}  // namespace db
