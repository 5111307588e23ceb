// vespero-sim: a simulated UPS unit on a pseudo-terminal, published as COM<n> in the port
// directory so the link finds it like any other port.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim_unit.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }

const char kUsage[] =
    "Usage: vespero-sim [options]\n"
    "Simulated UPS unit on a pseudo-terminal, published as\n"
    "$XDG_CONFIG_HOME/Tralvane/ports/COM<n> (default ~/.config). Runs until SIGINT/SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --com N              COM number to publish (default 1)\n"
    "  --pace BAUD          pace requests and replies at the wire rate of BAUD bit/s\n"
    "                       (10 bits per character); default: as fast as the pty goes\n"
    "  --state CODE         operating state code in the status reply (default 2, On_Line)\n"
    "  --standby-reason R   stand-by reason word (default 0)\n"
    "  --battery-test       start with a battery-test result waiting (flag 0x8000)\n"
    "  --control FILE       re-read FILE whenever it changes and take from it, one per line:\n"
    "                       state=CODE, reason=R, battery=VOLTS (0: default), silent=0|1,\n"
    "                       model=0|1, load=PCT, timescale=X, capacity=AH, health=SHARE,\n"
    "                       charge=PCT (sets the model's state of charge when read)\n"
    "  --model              a physical battery instead of fixed readings, fitted to a maker's\n"
    "                       datasheet (four 40 Ah blocks carry 5 kW for about six minutes): on\n"
    "                       battery the voltage sags with the load and falls as the charge is\n"
    "                       drawn, and the currents follow the load; on line the charger brings\n"
    "                       it back to float (13.5 V per block)\n"
    "  --load PCT           output load of the model (default 18)\n"
    "  --timescale X        battery seconds per real second (default 1): 60 runs an hour\n"
    "                       of discharge in a minute\n"
    "  --silent             never answer\n"
    "  --silent-after N     answer the first N requests, then never again\n"
    "  --log FILE           append one line per received request: the frame in hex\n"
    "  --tag TEXT           start every log line with TEXT and a space\n"
    "  --ready-file FILE    write the pty path into FILE once the port is published\n"
    "  --corrupt P          with probability P, answer with a poisoned reply: absurd values\n"
    "                       (status state code 0x7FFF) and a wrong checksum; two-character\n"
    "                       acknowledgements stay as they are (any two characters pass)\n"
    "  --corrupt-at LIST    poison the answers to these requests (1-based, comma-separated)\n"
    "  --drop P             with probability P, do not answer a request\n"
    "  --half P             with probability P, send only the first half of a reply\n"
    "  --delay-ms MS        wait MS milliseconds before every reply\n"
    "  --seed S             seed of the fault injection (default 1)\n"
    "  -h, --help           this text\n"
    "  -v, --version        the version\n";

struct Options {
    int com = 1;
    long pace = 0;
    sim::UnitOptions unit;
    bool silent = false;
    long silentAfter = -1;
    std::string logPath;
    std::string tag;
    std::string readyFile;
    std::string controlPath;
    double corrupt = 0, drop = 0, half = 0;
    std::set<long> corruptAt;
    int delayMs = 0;
    unsigned seed = 1;
    double timeScale = 1;
};

[[noreturn]] void Fail(const std::string& text) {
    std::fprintf(stderr, "vespero-sim: %s\n", text.c_str());
    std::exit(2);
}

long ToLong(const char* s, const char* what) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 0);
    if (errno || end == s || *end) Fail(std::string("bad number for ") + what + ": " + s);
    return v;
}

double ToNumber(const char* s, const char* what, double low, double high) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end || !(v >= low && v <= high)) Fail(std::string("bad value for ") + what + ": " + s);
    return v;
}

double ToProbability(const char* s, const char* what) {
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || *end || !(v >= 0.0 && v <= 1.0)) Fail(std::string("bad probability for ") + what + ": " + s);
    return v;
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) Fail("missing value after " + a);
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--version" || a == "-v") {
            std::printf("vespero-sim %s\n", VESPERO_VERSION);
            std::exit(0);
        } else if (a == "--com") {
            o.com = int(ToLong(next(), "--com"));
            if (o.com < 1) Fail("--com must be 1 or more");
        } else if (a == "--pace") {
            o.pace = ToLong(next(), "--pace");
            if (o.pace < 0) Fail("--pace must not be negative");
        } else if (a == "--state") {
            o.unit.stateCode = int(ToLong(next(), "--state"));
        } else if (a == "--standby-reason") {
            o.unit.standbyReason = int(ToLong(next(), "--standby-reason"));
        } else if (a == "--battery-test") {
            o.unit.batteryTestPending = true;
        } else if (a == "--model") {
            o.unit.model = true;
        } else if (a == "--load") {
            o.unit.loadPercent = ToNumber(next(), "--load", 0, 150);
        } else if (a == "--timescale") {
            o.timeScale = ToNumber(next(), "--timescale", 0, 1e6);
        } else if (a == "--control") {
            o.controlPath = next();
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--silent-after") {
            o.silentAfter = ToLong(next(), "--silent-after");
        } else if (a == "--log") {
            o.logPath = next();
        } else if (a == "--tag") {
            o.tag = next();
        } else if (a == "--ready-file") {
            o.readyFile = next();
        } else if (a == "--corrupt") {
            o.corrupt = ToProbability(next(), "--corrupt");
        } else if (a == "--corrupt-at") {
            std::string list = next();
            size_t start = 0;
            while (start <= list.size()) {
                const size_t comma = list.find(',', start);
                const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!item.empty()) o.corruptAt.insert(ToLong(item.c_str(), "--corrupt-at"));
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else if (a == "--drop") {
            o.drop = ToProbability(next(), "--drop");
        } else if (a == "--half") {
            o.half = ToProbability(next(), "--half");
        } else if (a == "--delay-ms") {
            o.delayMs = int(ToLong(next(), "--delay-ms"));
            if (o.delayMs < 0) Fail("--delay-ms must not be negative");
        } else if (a == "--seed") {
            o.seed = unsigned(ToLong(next(), "--seed"));
        } else {
            Fail("unknown option " + a + " (see --help)");
        }
    }
    return o;
}

std::string PortDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) Fail("neither XDG_CONFIG_HOME nor HOME is set");
        base = std::string(home) + "/.config";
    }
    return base + "/Tralvane/ports";
}

void MakeDirs(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            const std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                Fail("cannot create " + part + ": " + std::strerror(errno));
        }
    }
}

bool WriteAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                if (stopRequested) return false;
                continue;
            }
            return false;
        }
        data += w;
        n -= size_t(w);
    }
    return true;
}

class Simulator {
public:
    explicit Simulator(Options o) : opt_(std::move(o)), unit_(opt_.unit), rng_(opt_.seed) {}
    int Run();
    void ReleaseExclusiveMode();

private:
    void Publish();
    void Unpublish();
    void Feed(const uint8_t* data, size_t n);
    void Complete();
    void Log(const std::vector<uint8_t>& frame, const char* note);
    void Reply(std::string reply, size_t requestLength);
    void ReadControl();
    bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

    Options opt_;
    sim::Unit unit_;
    std::mt19937 rng_;
    int master_ = -1;
    int slave_ = -1;
    int log_ = -1;
    std::string ptyPath_;
    std::string linkPath_;
    std::vector<uint8_t> frame_;
    long requests_ = 0;
    struct timespec controlStamp_{};
    off_t controlSize_ = -1;
    std::chrono::steady_clock::time_point modelTime_ = std::chrono::steady_clock::now();
};

// Lets a test change the unit while it runs: on battery, low battery, silent.
void Simulator::ReadControl() {
    struct stat st{};
    if (opt_.controlPath.empty() || stat(opt_.controlPath.c_str(), &st) != 0) return;
    if (st.st_mtim.tv_sec == controlStamp_.tv_sec && st.st_mtim.tv_nsec == controlStamp_.tv_nsec &&
        st.st_size == controlSize_)
        return;
    controlStamp_ = st.st_mtim;
    controlSize_ = st.st_size;
    FILE* f = std::fopen(opt_.controlPath.c_str(), "r");
    if (!f) return;
    sim::UnitOptions unit = unit_.options();
    double charge = -1;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        char key[64];
        double value = 0;
        if (std::sscanf(line, " %63[a-z] = %lf", key, &value) != 2) continue;
        const std::string k = key;
        if (k == "state") unit.stateCode = int(value);
        else if (k == "reason") unit.standbyReason = int(value);
        else if (k == "battery") unit.batteryVolts = value;
        else if (k == "silent") opt_.silent = value != 0;
        else if (k == "model") unit.model = value != 0;
        else if (k == "load" && value >= 0 && value <= 150) unit.loadPercent = value;
        else if (k == "timescale" && value >= 0 && value <= 1e6) opt_.timeScale = value;
        else if (k == "capacity" && value > 0 && value < 65536) unit.capacityAh = value;
        else if (k == "health" && value > 0 && value <= 1.5) unit.health = value;
        else if (k == "charge" && value >= 0 && value <= 100) charge = value;
    }
    std::fclose(f);
    unit_.SetOptions(unit);
    if (charge >= 0) unit_.battery().SetSoc(charge / 100);
}

void Simulator::Publish() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        Fail(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    const char* name = ptsname(master_);
    if (!name) Fail("ptsname failed");
    ptyPath_ = name;
    // Our own slave descriptor keeps the line up while the link closes and reopens the port.
    slave_ = open(ptyPath_.c_str(), O_RDWR | O_NOCTTY);
    if (slave_ < 0) Fail("cannot open " + ptyPath_ + ": " + std::strerror(errno));
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    const std::string dir = PortDirectory();
    MakeDirs(dir);
    linkPath_ = dir + "/COM" + std::to_string(opt_.com);
    struct stat st{};
    if (lstat(linkPath_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) Fail(linkPath_ + " exists and is not a symbolic link");
        unlink(linkPath_.c_str());
    }
    if (symlink(ptyPath_.c_str(), linkPath_.c_str()) != 0)
        Fail("cannot create " + linkPath_ + ": " + std::strerror(errno));

    if (!opt_.logPath.empty()) {
        log_ = open(opt_.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log_ < 0) Fail("cannot open " + opt_.logPath + ": " + std::strerror(errno));
    }
    if (!opt_.readyFile.empty()) {
        const std::string tmp = opt_.readyFile + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (!f) Fail("cannot write " + tmp + ": " + std::strerror(errno));
        std::fprintf(f, "%s\n", ptyPath_.c_str());
        std::fclose(f);
        if (std::rename(tmp.c_str(), opt_.readyFile.c_str()) != 0)
            Fail("cannot write " + opt_.readyFile + ": " + std::strerror(errno));
    }
    std::fprintf(stderr, "vespero-sim: COM%d -> %s\n", opt_.com, ptyPath_.c_str());
}

void Simulator::Unpublish() {
    char target[512];
    const ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (ptyPath_ == target) unlink(linkPath_.c_str());  // only our own entry
    }
}

void Simulator::Log(const std::vector<uint8_t>& frame, const char* note) {
    if (log_ < 0) return;
    std::string line = opt_.tag.empty() ? std::string() : opt_.tag + " ";
    char hex[4];
    for (size_t i = 0; i < frame.size(); ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", frame[i]);
        line += hex;
    }
    if (note) line += std::string(" ") + note;
    line += '\n';
    WriteAll(log_, line.data(), line.size());  // one write: lines of several sims never mix
}

void Simulator::Reply(std::string reply, size_t requestLength) {
    using Clock = std::chrono::steady_clock;
    if (opt_.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(opt_.delayMs));
    if (opt_.pace <= 0) {
        WriteAll(master_, reply.data(), reply.size());
        return;
    }
    // The request took its wire time to arrive; the reply takes its own to leave.
    const auto charTime = std::chrono::duration<double>(10.0 / double(opt_.pace));
    std::this_thread::sleep_for(charTime * double(requestLength));
    const auto start = Clock::now();
    const size_t chunk = std::max<size_t>(1, size_t(opt_.pace / 10 / 500));  // about 2 ms worth
    for (size_t sent = 0; sent < reply.size();) {
        const size_t n = std::min(chunk, reply.size() - sent);
        if (!WriteAll(master_, reply.data() + sent, n)) return;
        sent += n;
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(charTime * double(sent)));
    }
}

void Simulator::Complete() {
    std::vector<uint8_t> frame;
    frame.swap(frame_);
    const char c = char(frame[1]);
    if (sim::HasChecksum(c)) {
        const size_t n = frame.size();
        unsigned want = 0;
        for (size_t i = n - 4; i < n; ++i) {
            const uint8_t ch = frame[i];
            const int v = ch >= '0' && ch <= '9' ? ch - '0' : (ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1);
            if (v < 0) {
                want = 0x10000;  // never matches
                break;
            }
            want = want * 16 + unsigned(v);
        }
        if (want != sim::RequestSum(frame.data(), n - 4)) {
            Log(frame, "bad-checksum");
            return;  // a unit does not act on a damaged frame
        }
    }
    Log(frame, nullptr);
    ++requests_;
    // The battery runs in the state it had until now; then the control file may change it.
    const auto now = std::chrono::steady_clock::now();
    unit_.Advance(std::chrono::duration<double>(now - modelTime_).count() * opt_.timeScale);
    modelTime_ = now;
    ReadControl();

    if (opt_.silent || (opt_.silentAfter >= 0 && requests_ > opt_.silentAfter)) return;
    if (Chance(opt_.drop)) return;
    std::string reply = (opt_.corruptAt.count(requests_) || Chance(opt_.corrupt)) ? unit_.Poison(frame)
                                                                                    : unit_.Answer(frame);
    if (reply.empty()) return;
    if (Chance(opt_.half)) reply.resize(reply.size() / 2);
    Reply(std::move(reply), frame.size());
}

void Simulator::Feed(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (frame_.empty()) {
            if (b == 0x80) frame_.push_back(b);  // anything else before a frame start is noise
            continue;
        }
        const char c = frame_.size() >= 2 ? char(frame_[1]) : 0;
        if (frame_.size() == 1) {
            if (b == 0x80) continue;  // a fresh start; keep the one byte
            const int length = sim::RequestLength(char(b));
            if (length == 0) {
                frame_.clear();
                continue;
            }
            frame_.push_back(b);
            if (length == 2) Complete();
            continue;
        }
        // Set frames carry hex text only, so 0x80 inside one means a new frame began. The
        // decimal stop frame ('G') carries stale buffer bytes and is taken as it comes.
        if (b == 0x80 && c != 'G') {
            Log(frame_, "truncated");
            frame_.assign(1, 0x80);
            continue;
        }
        frame_.push_back(b);
        const size_t length = size_t(sim::RequestLength(c));
        if (c == 'P') {
            if (frame_.size() == 70) Complete();
            continue;  // 30 is decided once the line falls quiet (Run)
        }
        if (frame_.size() == length) Complete();
    }
}

// A client's open puts the line in exclusive mode (TIOCEXCL), and its close cannot lift it while
// our own descriptor keeps the line: a killed client would shut every later one out (all but
// root). A real port loses the mode with its last close; here it is lifted as soon as it is seen,
// and the clients' lock files still keep two of them apart.
void Simulator::ReleaseExclusiveMode() {
    int exclusive = 0;
    if (ioctl(slave_, TIOCGEXCL, &exclusive) == 0 && exclusive) ioctl(slave_, TIOCNXCL);
}

int Simulator::Run() {
    Publish();
    auto lastByte = std::chrono::steady_clock::now();
    uint8_t buffer[4096];
    while (!stopRequested) {
        ReleaseExclusiveMode();
        // 'P' frames come in two lengths: a complete short one is taken when nothing follows.
        const bool shortP = frame_.size() == 30 && frame_[1] == 'P';
        pollfd p{master_, POLLIN, 0};
        const int r = poll(&p, 1, shortP ? 20 : 200);
        if (r < 0) {
            if (errno == EINTR) continue;
            Fail(std::string("poll: ") + std::strerror(errno));
        }
        if (r == 0) {
            if (shortP) {
                Complete();
            } else if (!frame_.empty() &&
                       std::chrono::steady_clock::now() - lastByte > std::chrono::seconds(2)) {
                Log(frame_, "truncated");
                frame_.clear();
            }
            continue;
        }
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            if (errno == EIO) {  // cannot happen while we hold the slave; do not spin if it does
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            Fail(std::string("read: ") + std::strerror(errno));
        }
        lastByte = std::chrono::steady_clock::now();
        Feed(buffer, size_t(n));
    }
    Unpublish();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = Parse(argc, argv);
    struct sigaction sa{};
    sa.sa_handler = &OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Simulator simulator(std::move(options));
    return simulator.Run();
}
