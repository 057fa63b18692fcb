// The life of a log file: the real log on the in-memory platform against a
// model of what the rules keep on disk (see log_life.h).
//
// The model knows the rules and nothing of how they are carried out: each
// generation is one file whose bytes, last write and form it follows; a
// rotation is one shift up to the first free name, stopped by a directory in
// the way or by the first file that cannot be moved; only a file beyond the
// count is ever replaced or deleted, besides those past their age (never the
// one the same rotation has just moved away); a compressed copy takes its
// file's place whole or not at all; a full disk loses output, and the first
// write that gets through says how much at the gap.
#include "model/log_life.h"

#include <map>
#include <set>
#include <vector>

#include "common/platform.h"
#include "diag/log_file.h"
#include "fake/fake.h"

namespace {

const char DIRECTORY[] = "C:\\svc";
const char LOG_PATH[] = "C:\\svc\\svc.out";
const uint32_t DISK_FULL = 112, SHARING_VIOLATION = 32;
const int64_t DAY = 86400;
const uint64_t ROTATION_RETRY_MS = 60000, REOPEN_MS = 10000;

// Files beside the log that are none of its generations: no step may touch them.
const std::pair<const char*, const char*> DECOYS[] = {
    {"svc.out.0", "zero\n"},          {"svc.out.01", "leading zero\n"}, {"svc.outer", "outer\n"},
    {"svc.out.x", "x\n"},             {"svc.out.gz", "no generation\n"}, {"other.out.1", "another service\n"},
};

struct Gen {
    std::string data;
    int64_t lastWrite;
    bool gz;
    int id;   // the file's own, through every shift
};

struct Settings {
    uint64_t limit;
    uint32_t generations;
    int daily;
    uint32_t maxAge;
    int compress;
};

struct Model {
    Settings set = {};
    std::map<uint32_t, Gen> gens;              // 0 is "<name>.out"
    std::set<uint32_t> dirs;                   // generation numbers that hold a directory
    std::map<std::string, uint32_t> held;      // name suffix -> what its holder shares
    bool open = false, losing = false, atLineStart = true, pending = false, diskFull = false, rotated = false;
    uint64_t size = 0, lost = 0, retryTick = 0, reopenTick = 0;
    uint32_t lostError = 0, fileDate = 0;
    int nextId = 1;
};

std::string suffix(uint32_t n, bool gz)
{
    return n == 0 ? "" : "." + std::to_string(n) + (gz ? ".gz" : "");
}

int64_t wall() { return plat_time_seconds(); }
uint32_t today() { return plat_local_date(wall()); }

// Whether generation n's file is held by another program (which never shares
// deleting, so that the file can be neither moved nor deleted).
bool held(const Model& m, uint32_t n)
{
    auto it = m.gens.find(n);
    return it != m.gens.end() && m.held.count(suffix(n, it->second.gz)) > 0;
}

bool refuses(const Model& m, const std::string& name, uint32_t need)
{
    auto it = m.held.find(name);
    return it != m.held.end() && (it->second & need) != need;
}

void begin_loss(Model& m, uint32_t code)
{
    if (!m.losing) m.losing = true, m.lostError = code;
}

// One write at the end of "<name>.out": whole, or lost to a full disk.
bool put(Model& m, const std::string& bytes)
{
    if (m.diskFull) {
        begin_loss(m, DISK_FULL);
        return false;
    }
    Gen& current = m.gens[0];
    current.data += bytes;
    current.lastWrite = wall();
    m.size += bytes.size();
    m.atLineStart = bytes.back() == '\n';
    return true;
}

bool close_gap(Model& m)
{
    if (m.lost > 0) {
        std::string line = std::string(m.atLineStart ? "" : "\r\n") + "NT Service lost " + std::to_string(m.lost) +
                           " bytes of output here - system text " + std::to_string(m.lostError) + ".\r\n";
        if (!put(m, line)) return false;
    }
    m.losing = false;
    m.lost = 0;
    return true;
}

// Generation `from` one number up; the oldest replaces what is there.
bool move_up(Model& m, uint32_t from, bool oldest)
{
    Gen source = m.gens[from];
    auto to = m.gens.find(from + 1);
    if (oldest && to != m.gens.end() && to->second.gz != source.gz) {
        if (held(m, from + 1)) return false;
        m.gens.erase(to);
        to = m.gens.end();
    }
    if (held(m, from) || (to != m.gens.end() && held(m, from + 1))) return false;
    m.gens[from + 1] = source;
    m.gens.erase(from);
    return true;
}

// The shift; false when "<name>.out" stays where it is.
bool shift(Model& m, uint32_t generations, bool* moved)
{
    *moved = false;
    if (m.gens.count(0) == 0) return true;
    uint32_t gap = generations + 1;
    for (uint32_t n = 1; n <= generations; ++n)
        if (m.gens.count(n) == 0) {
            gap = n;
            break;
        }
    if (gap <= generations && m.dirs.count(gap) > 0) return false;
    for (uint32_t n = gap <= generations ? gap : generations; n > 0; --n)
        if (!move_up(m, n - 1, n == generations)) return false;
    *moved = true;
    return true;
}

void upkeep(Model& m, uint32_t first)
{
    if (m.set.maxAge != 0)
        for (uint32_t n = first; n <= m.set.generations; ++n) {
            auto it = m.gens.find(n);
            if (it != m.gens.end() && wall() - it->second.lastWrite > (int64_t)m.set.maxAge * DAY && !held(m, n))
                m.gens.erase(it);
        }
    if (m.set.compress) m.pending = true;
}

void open_log(Model& m, uint32_t generations)
{
    uint64_t now = plat_tick_count64();
    if (generations != 0) {
        m.rotated = true;
        bool moved = false;
        if (!shift(m, generations, &moved)) m.retryTick = now + ROTATION_RETRY_MS;
        for (auto it = m.gens.upper_bound(generations); it != m.gens.end();)
            it = held(m, it->first) ? std::next(it) : m.gens.erase(it);
        upkeep(m, moved ? 2 : 1);
    }
    bool exists = m.gens.count(0) > 0;
    uint32_t code = refuses(m, "", FAKE_SHARE_WRITE) ? SHARING_VIOLATION : !exists && m.diskFull ? DISK_FULL : 0;
    if (code != 0) {
        m.open = false;
        m.reopenTick = now + REOPEN_MS;
        begin_loss(m, code);
        return;
    }
    if (!exists) m.gens[0] = Gen{"", wall(), false, m.nextId++};
    m.open = true;
    m.size = m.gens[0].data.size();
    if (m.size == 0) m.atLineStart = true;
    m.fileDate = m.size > 0 ? plat_local_date(m.gens[0].lastWrite) : today();
}

void write(Model& m, const std::string& bytes)
{
    uint64_t now = plat_tick_count64();
    if (!m.open) {
        if (now >= m.reopenTick) open_log(m, 0);
    } else if (m.size > 0 && now >= m.retryTick &&
               ((m.set.limit != 0 && m.size + bytes.size() > m.set.limit) ||
                (m.set.daily && m.fileDate != 0 && today() > m.fileDate))) {
        m.open = false;
        open_log(m, m.set.generations);
    }
    if (m.set.daily && m.size == 0) m.fileDate = today();
    if (!m.open || (m.losing && !close_gap(m)) || !put(m, bytes)) m.lost += bytes.size();
}

void rotate(Model& m)
{
    if (m.open && m.size == 0) return;
    m.open = false;
    open_log(m, m.set.generations);
}

// The youngest rotated file without a compressed copy (past the count: none),
// and whether the compressor can read it and write its copy.
uint32_t youngest_plain(const Model& m)
{
    uint32_t n = 1;
    while (n <= m.set.generations && !(m.gens.count(n) > 0 && !m.gens.at(n).gz)) ++n;
    return n;
}

bool can_read(const Model& m, uint32_t n)
{
    return n <= m.set.generations && !refuses(m, suffix(n, false), FAKE_SHARE_READ) && !m.diskFull;
}

// The compressor's round, as far as it goes: the youngest uncompressed file
// first, until none is left or one fails.  `fault` fails the first attempt
// once it has begun; `between` runs while the first file is being read.
void compress(Model& m, bool fault, const std::function<void()>& between)
{
    if (!m.pending) return;
    for (bool first = true;; first = false) {
        uint32_t n = youngest_plain(m);
        if (!can_read(m, n)) break;
        if (first && fault) break;
        int id = m.gens[n].id;
        if (first && between) between();
        auto it = m.gens.begin();
        while (it != m.gens.end() && it->second.id != id) ++it;
        if (it == m.gens.end()) continue;
        if (m.held.count(suffix(it->first, false)) > 0) break;
        it->second.gz = true;
    }
    m.pending = false;
}

// Whether the compressor's first attempt gets as far as reading its file.
bool reads_a_file(const Model& m)
{
    return m.pending && can_read(m, youngest_plain(m));
}

void start(Model& m, const Settings& settings, bool killed)
{
    if (killed) m.pending = false;
    else compress(m, false, nullptr);
    Model next;
    next.gens = m.gens, next.dirs = m.dirs, next.held = m.held, next.diskFull = m.diskFull, next.nextId = m.nextId;
    next.set = settings;
    m = next;
    uint32_t fileDate = m.gens.count(0) > 0 ? plat_local_date(m.gens[0].lastWrite) : 0;
    bool sameDay = settings.daily && settings.limit == 0 && fileDate >= today();
    open_log(m, sameDay ? 0 : settings.generations);
    if (sameDay) upkeep(m, 1);
}

bool is_generation_gz(const std::string& name)
{
    if (name.compare(0, 8, "svc.out.") != 0 || name.size() < 12 || name.compare(name.size() - 3, 3, ".gz") != 0)
        return false;
    std::string digits = name.substr(8, name.size() - 11);
    return digits[0] != '0' && digits.find_first_not_of("0123456789") == std::string::npos;
}

std::string shown(const std::string& text)
{
    return text.size() <= 80 ? text : text.substr(0, 40) + "..." + text.substr(text.size() - 40);
}

// What differs between the disk and the model, "" when nothing.
std::string compare(const Model& m)
{
    std::map<std::string, std::string> want, got;
    std::map<std::string, int64_t> times;
    for (const auto& g : m.gens) {
        std::string name = "svc.out" + suffix(g.first, g.second.gz);
        want[name] = g.second.data;
        times[name] = g.second.lastWrite;
    }
    for (uint32_t n : m.dirs) want["svc.out." + std::to_string(n)] = "<directory>";
    for (const auto& d : DECOYS) want[d.first] = d.second;
    std::string differences;
    for (const std::string& name : fake_list_dir(DIRECTORY)) {
        std::string path = std::string(DIRECTORY) + "\\" + name, data;
        PlatFileInfo info;
        plat_path_info(path.c_str(), &info);
        if (info.kind == PLAT_ENTRY_DIRECTORY) data = "<directory>";
        else fake_read_file(path, &data);
        got[name] = is_generation_gz(name) ? fake_gunzip(data) : data;
        if (times.count(name) && info.last_write != times[name])
            differences += name + " last written at " + std::to_string(info.last_write) + ", not " +
                           std::to_string(times[name]) + "\n";
    }
    for (const auto& w : want)
        if (got.count(w.first) == 0) differences += w.first + " is missing\n";
        else if (got[w.first] != w.second)
            differences += w.first + " holds [" + shown(got[w.first]) + "], not [" + shown(w.second) + "]\n";
    for (const auto& g : got)
        if (want.count(g.first) == 0) differences += g.first + " should not be there\n";
    // The rules' bound, beside the exact picture: after a rotation, the count,
    // plus files held where it could neither move nor delete them.
    if (m.rotated && m.gens.size() > 1 + m.set.generations + m.held.size())
        differences += "more rotated files than the count\n";
    return differences;
}

// The test's side of every step: the operation on the real log and on the
// model, and its line in the list of steps.
struct Life {
    Model model;
    const LifeChoice& next;
    std::string steps;
    int writes = 0;
};

Settings choose_settings(Life& life)
{
    const uint64_t limits[] = {0, 0, 400, 1500};
    const uint32_t ages[] = {0, 0, 1, 3};
    return Settings{limits[life.next(4)], 1 + life.next(6), (int)life.next(2), ages[life.next(4)],
                    (int)(life.next(3) != 0)};
}

void do_start(Life& life, bool killed)
{
    Settings s = choose_settings(life);
    life.steps += "start limit=" + std::to_string(s.limit) + " generations=" + std::to_string(s.generations) +
                  " daily=" + std::to_string(s.daily) + " age=" + std::to_string(s.maxAge) +
                  " compress=" + std::to_string(s.compress) + (killed ? " after a killed run" : "") + "\n";
    if (killed) {
        fake_kill_threads();
        fake_write_file(std::string(LOG_PATH) + ".gz.tmp", "half a copy");
    } else {
        WaitLogCompression();
    }
    CloseLogFile();
    SetLogFileRotation(s.limit, s.generations);
    SetLogFileUpkeep(s.daily, s.maxAge, s.compress);
    OpenLogFile(DIRECTORY, "svc");
    start(life.model, s, killed);
}

void do_write(Life& life)
{
    uint32_t length = 1 + life.next(400);
    // Now and then a write that fills the file exactly to its limit, or one
    // byte past it.
    const Model& m = life.model;
    if (m.open && m.set.limit > m.size && life.next(6) == 0) length = (uint32_t)(m.set.limit - m.size) + life.next(2);
    std::string bytes = "<" + std::to_string(++life.writes) + ">";
    while (bytes.size() < length) bytes += (char)('a' + bytes.size() % 26);
    bytes.resize(length);
    if (life.next(2)) bytes.back() = '\n';
    life.steps += "write " + std::to_string(length) + "\n";
    log_raw(bytes.data(), bytes.size());
    write(life.model, bytes);
}

void do_compress(Life& life)
{
    uint32_t how = reads_a_file(life.model) ? life.next(3) : 0;
    if (how == 1) {
        const std::pair<const char*, int> calls[] = {{"CreateFileA", 1}, {"CreateFileA", 2}, {"ReadFile", 1},
                                                     {"SetFileTime", 1}, {"MoveFileExA", 1}, {"DeleteFileA", 1}};
        const auto& call = calls[life.next(6)];
        life.steps += std::string("compress, the ") + (call.second == 1 ? "first " : "second ") + call.first +
                      " failing\n";
        fake_fail(call.first, 5, call.second);
        WaitLogCompression();
        compress(life.model, true, nullptr);
    } else if (how == 2) {
        life.steps += "compress, a rotation on demand while the first file is read\n";
        fake_during("ReadFile", 1, [] { RotateLogFile(); });
        WaitLogCompression();
        Model& m = life.model;
        compress(m, false, [&m] { rotate(m); });
    } else {
        life.steps += "compress\n";
        WaitLogCompression();
        compress(life.model, false, nullptr);
    }
}

void do_hold(Life& life)
{
    Model& m = life.model;
    std::vector<std::string> names;
    for (const auto& g : m.gens)
        if (m.held.count(suffix(g.first, g.second.gz)) == 0) names.push_back(suffix(g.first, g.second.gz));
    if (names.empty()) return;
    std::string name = names[life.next((uint32_t)names.size())];
    // The open log shares writing with whoever opens it after it.
    const uint32_t shares[] = {FAKE_SHARE_READ | FAKE_SHARE_WRITE, FAKE_SHARE_READ, 0};
    uint32_t share = name.empty() && m.open ? shares[0] : shares[life.next(3)];
    life.steps += "another program holds svc.out" + name + " sharing " + std::to_string(share) + "\n";
    fake_hold_file(std::string(LOG_PATH) + name, true, share);
    m.held[name] = share;
}

void do_release(Life& life)
{
    Model& m = life.model;
    if (m.held.empty()) return;
    auto it = std::next(m.held.begin(), life.next((uint32_t)m.held.size()));
    life.steps += "svc.out" + it->first + " is let go\n", fake_hold_file(std::string(LOG_PATH) + it->first, false);
    m.held.erase(it);
}

void do_directory(Life& life)
{
    Model& m = life.model;
    uint32_t n = 1 + life.next(m.set.generations + 1);
    std::string name = "svc.out." + std::to_string(n), path = std::string(DIRECTORY) + "\\" + name;
    if (m.dirs.count(n) > 0)
        life.steps += "the directory " + name + " is removed\n", fake_remove(path), m.dirs.erase(n);
    else if (m.gens.count(n) == 0)
        life.steps += "a directory is made at " + name + "\n", fake_make_dir(path), m.dirs.insert(n);
}

void do_time(Life& life)
{
    const uint32_t ms[] = {1000, 11000, 61000};
    uint32_t kind = life.next(4), wait = ms[life.next(3)], days = 1 + life.next(4);
    if (kind == 0) life.steps += "wait " + std::to_string(wait) + " ms\n", plat_sleep(wait);
    if (kind == 1) life.steps += "past midnight\n", fake_step_wall_clock(DAY - wall() % DAY + 60);
    if (kind == 2) life.steps += std::to_string(days) + " days pass\n", fake_step_wall_clock(days * DAY);
    if (kind == 3) life.steps += "the clock is set back two hours\n", fake_step_wall_clock(-7200);
}

void do_disk(Life& life)
{
    Model& m = life.model;
    life.steps += (m.diskFull = !m.diskFull) ? "the disk is full\n" : "the disk has room again\n";
    fake_set_disk_space(m.diskFull ? 0 : -1);
}

}  // namespace

std::string RunLogLife(const LifeChoice& next, int steps)
{
    fake_reset();
    for (const auto& d : DECOYS) fake_write_file(std::string(DIRECTORY) + "\\" + d.first, d.second);
    Life life{Model(), next, "", 0};
    do_start(life, false);
    for (int i = 0; i < steps; ++i) {
        uint32_t op = next(100);
        if (op < 35) do_write(life);
        else if (op < 45) do_time(life);
        else if (op < 53)
            life.steps += "rotate on demand\n", RotateLogFile(), rotate(life.model);
        else if (op < 60) do_start(life, next(3) == 0);
        else if (op < 72) do_compress(life);
        else if (op < 80) do_hold(life);
        else if (op < 87) do_release(life);
        else if (op < 92) do_directory(life);
        else do_disk(life);
        std::string differences = compare(life.model);
        if (std::string unfired = fake_unfired_faults(); !unfired.empty()) differences += "a fault that never fired: " + unfired + "\n";
        life.model.rotated = false;
        if (!differences.empty()) return life.steps + "then:\n" + differences;
    }
    return "";
}
