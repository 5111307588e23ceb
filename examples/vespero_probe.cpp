// vespero-probe: starts the link from the configured settings and prints one JSON line per
// refresh with device 0's state texts and status values.
#include <QCoreApplication>
#include <QObject>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/device_lock.h"
#include "link/port/ups_event.h"
#include "link/ups_link.h"

namespace {

const char kUsage[] =
    "Usage: vespero-probe [--refreshes N] [--command TYPE[:VALUE]]\n"
    "Starts the UPS link with the configured link settings ($XDG_CONFIG_HOME/Tralvane/Ups.ini)\n"
    "and prints one JSON line per poll cycle with device 0's state and status values.\n"
    "\n"
    "  --refreshes N          stop after N refreshes (default: run until interrupted)\n"
    "  --command TYPE[:VALUE] call KeybCommand(TYPE, 0, VALUE, 0) once, after the first refresh\n"
    "  --help                 this text\n";

std::string JsonText(const char* text, size_t width) {
    std::string out = "\"";
    for (size_t i = 0; i < width && text[i]; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string JsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

std::string StatusLine(const _ZozeUps& u, unsigned long refresh) {
    const UpsStatusBlock& s = u.status;
    std::string line = "{\"refresh\":" + std::to_string(refresh);
    line += ",\"stateText\":" + JsonText(u.stateText, sizeof u.stateText);
    line += ",\"stateDetail\":" + JsonText(u.stateDetail, sizeof u.stateDetail);
    line += ",\"firmwareVersion\":" + JsonText(u.firmwareVersion, sizeof u.firmwareVersion);
    auto num = [&](const char* name, double v) { line += std::string(",\"") + name + "\":" + JsonNumber(v); };
    num("inputVoltage", s.inputVoltage);
    num("inputFrequency", s.inputFrequency);
    num("inputCurrent", s.inputCurrent);
    num("outputVoltage", s.outputVoltage);
    num("outputCurrent", s.outputCurrent);
    num("outputPower", s.outputPower);
    num("outputFrequency", s.outputFrequency);
    num("batteryVoltage", s.batteryVoltage);
    num("internalVoltage1", s.internalVoltage1);
    num("internalVoltage2", s.internalVoltage2);
    num("inverterTemperature", s.inverterTemperature);
    num("caseTemperature", s.caseTemperature);
    num("batteryTemperature", s.batteryTemperature);
    num("flags12", s.flags12);
    num("flags34", s.flags34);
    num("stateCode", s.stateCode);
    num("standbyReason", s.standbyReason);
    num("powerUnits", s.powerUnits);
    num("currentUnits", s.currentUnits);
    num("powerPercent", s.powerPercent);
    num("ccbStatus", s.ccbStatus);
    return line + "}";
}

class Receiver : public QObject {
public:
    Receiver(long refreshes, bool haveCommand, int type, int value)
        : limit_(refreshes), haveCommand_(haveCommand), type_(type), value_(value) {}

protected:
    bool event(QEvent* e) override {
        if (int(e->type()) == WM_UPS_REFRESH) {
            OnRefresh();
            return true;
        }
        if (int(e->type()) == WM_UPS_EVENT) {
            auto* m = static_cast<UpsMessageEvent*>(e);
            std::fprintf(stderr, "vespero-probe: link event %lu on COM%ld\n",
                         static_cast<unsigned long>(m->wParam()), static_cast<long>(m->lParam()));
            return true;
        }
        return QObject::event(e);
    }

private:
    void OnRefresh() {
        if (done_) return;
        ++count_;
        const _ZozeUps snapshot = SnapshotDevice(0);
        std::printf("%s\n", StatusLine(snapshot, count_).c_str());
        std::fflush(stdout);
        if (haveCommand_ && count_ == 1) KeybCommand(type_, 0, value_, 0);
        if (limit_ > 0 && long(count_) >= limit_) {
            done_ = true;
            QCoreApplication::quit();
        }
    }

    long limit_;
    bool haveCommand_;
    int type_;
    int value_;
    unsigned long count_ = 0;
    bool done_ = false;
};

bool ParseInt(const char* text, long* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end) return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long refreshes = 0;
    bool haveCommand = false;
    long type = 0, value = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--refreshes" && i + 1 < argc) {
            if (!ParseInt(argv[++i], &refreshes) || refreshes < 0) {
                std::fprintf(stderr, "vespero-probe: bad --refreshes value\n");
                return 2;
            }
        } else if (a == "--command" && i + 1 < argc) {
            std::string commandArg = argv[++i];
            const size_t colon = commandArg.find(':');
            const std::string typeText = commandArg.substr(0, colon);
            const std::string valueText = colon == std::string::npos ? "0" : commandArg.substr(colon + 1);
            if (!ParseInt(typeText.c_str(), &type) || !ParseInt(valueText.c_str(), &value)) {
                std::fprintf(stderr, "vespero-probe: bad --command value (TYPE[:VALUE])\n");
                return 2;
            }
            haveCommand = true;
        } else {
            std::fprintf(stderr, "vespero-probe: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }

    QCoreApplication app(argc, argv);
    Receiver receiver(refreshes, haveCommand, int(type), int(value));
    SendHwnd(&receiver);
    StartLinkThread();
    const int status = app.exec();
    SendHwnd(nullptr);
    StopLinkThread();
    return status;
}
