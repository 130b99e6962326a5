#include "cli/consolehistory.h"

#include <sys/stat.h>

#include <chrono>
#include <limits>

#include "cli/output.h"
#include "history/historysetting.h"

namespace veltrin::cli {

namespace {

std::string TimeText(std::int64_t wallms) {
    return IsoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(wallms)));
}

std::string MsOrNull(double ms) { return ms < 0 ? std::string("null") : MillisecondsText(ms); }

std::int64_t MinuteStart(std::int64_t wallms) {
    std::int64_t m = wallms / 60'000;
    if (wallms % 60'000 < 0) --m;
    return m * 60'000;
}

}  // namespace

std::string HistoryPointJson(const std::string& address, const HistoryPoint& point) {
    std::string line = "{\"event\":\"" + std::string(point.rttms < 0 ? "lost" : "reply") + "\",\"time\":\"" +
                       TimeText(point.wallms) + "\",\"address\":" + JsonString(address);
    if (point.rttms >= 0) line += ",\"rtt_ms\":" + MillisecondsText(point.rttms);
    return line + "}";
}

std::string HistoryMinuteJson(const std::string& address, const HistoryMinute& m) {
    return "{\"event\":\"minute\",\"time\":\"" + TimeText(m.minutems) + "\",\"address\":" + JsonString(address) +
           ",\"sent\":" + std::to_string(m.sent) + ",\"lost\":" + std::to_string(m.lost) +
           ",\"min_ms\":" + MsOrNull(m.minms) + ",\"avg_ms\":" + MsOrNull(m.avgms) + ",\"max_ms\":" + MsOrNull(m.maxms) +
           "}";
}

std::string HistoryLines(const HistoryStore& store, const std::string& address, std::int64_t nowms, long long sincems,
                         std::size_t* count) {
    const std::int64_t from = nowms - sincems;
    // Results stamped a little ahead (a wall clock set back meanwhile) are shown too.
    const std::int64_t until = std::numeric_limits<std::int64_t>::max();
    const std::vector<HistoryPoint> raw = store.Raw(address, from, until);
    const std::int64_t rawstart = raw.empty() ? until : MinuteStart(raw.front().wallms);
    const std::vector<HistoryMinute> minutes = store.Minutes(address, MinuteStart(from), rawstart);
    std::string out;
    std::size_t lines = 0;
    for (const HistoryMinute& m : minutes) {
        out += HistoryMinuteJson(address, m);
        out += '\n';
        ++lines;
    }
    for (const HistoryPoint& p : raw) {
        out += HistoryPointJson(address, p);
        out += '\n';
        ++lines;
    }
    if (count != nullptr) *count = lines;
    return out;
}

int PrintHistory(const Options& options, const std::function<void(const std::string&)>& write,
                 const std::function<void(const std::string&)>& say) {
    const std::string path = HistoryDatabasePath();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        say("no history kept yet (" + path + ")");
        return 1;
    }
    HistoryOptions readonly;
    readonly.readonly = true;
    std::string error;
    const std::unique_ptr<HistoryStore> store = HistoryStore::Open(path, readonly, &error);
    if (!store) {
        say(error);
        return 2;
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    std::size_t lines = 0;
    const std::string out = HistoryLines(*store, options.historyaddress, now, options.sincems, &lines);
    if (store->Failed()) {
        say(store->Error());
        return 2;
    }
    write(out);
    if (lines == 0) {
        say("nothing kept for " + options.historyaddress + " in that span");
        return 1;
    }
    return 0;
}

std::unique_ptr<HistoryStore> OpenRunHistory(const Options& options, const std::string& inipath,
                                             const std::function<void(const std::string&)>& say) {
    if (options.nohistory || !HistoryEnabled(inipath)) return nullptr;
    HistoryOptions settings;
    settings.onerror = [say](const std::string& error) { say(error + "; no more history is kept"); };
    std::string error;
    std::unique_ptr<HistoryStore> store = HistoryStore::Open(HistoryDatabasePath(), settings, &error);
    if (!store) say(error + "; no history is kept");
    return store;
}

}  // namespace veltrin::cli
