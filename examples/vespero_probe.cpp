// vespero-probe: starts the link from the configured settings and prints one JSON line per
// refresh with device 0's state texts and status values.
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QObject>

#include <cmath>
#include <cstdio>
#include <string>

#include "app/quit_on_signal.h"
#include "link/device_lock.h"
#include "link/port/ups_event.h"
#include "link/ups_link.h"

namespace {

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

bool ParseInt(const QString& text, long* out) {
    bool ok = false;
    const long v = text.toLong(&ok, 10);
    if (ok) *out = v;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(VESPERO_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Starts the UPS link with the configured link settings ($XDG_CONFIG_HOME/Tralvane/Ups.ini)\n"
        "and prints one JSON line per poll cycle with device 0's state and status values."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption refreshesOption(
        QStringLiteral("refreshes"), QStringLiteral("Stop after <n> refreshes (default: run until interrupted)."),
        QStringLiteral("n"));
    const QCommandLineOption commandOption(
        QStringLiteral("command"),
        QStringLiteral("Call KeybCommand(<type>, 0, <value>, 0) once, after the first refresh."),
        QStringLiteral("type[:value]"));
    parser.addOption(refreshesOption);
    parser.addOption(commandOption);

    // Usage errors end with status 2, as they always have; help and version the Qt way.
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "vespero-probe: %s\n", qPrintable(parser.errorText()));
        return 2;
    }
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "vespero-probe: unexpected argument %s (see --help)\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }

    long refreshes = 0;
    if (parser.isSet(refreshesOption) && (!ParseInt(parser.value(refreshesOption), &refreshes) || refreshes < 0)) {
        std::fprintf(stderr, "vespero-probe: bad --refreshes value\n");
        return 2;
    }
    const bool haveCommand = parser.isSet(commandOption);
    long type = 0, value = 0;
    if (haveCommand) {
        const QString commandArg = parser.value(commandOption);
        const qsizetype colon = commandArg.indexOf(QLatin1Char(':'));
        const QString typeText = commandArg.left(colon);
        const QString valueText = colon < 0 ? QStringLiteral("0") : commandArg.mid(colon + 1);
        if (!ParseInt(typeText, &type) || !ParseInt(valueText, &value)) {
            std::fprintf(stderr, "vespero-probe: bad --command value (TYPE[:VALUE])\n");
            return 2;
        }
    }

    Receiver receiver(refreshes, haveCommand, int(type), int(value));
    QuitOnSignals(&app);
    SendHwnd(&receiver);
    StartLinkThread();
    const int status = app.exec();
    SendHwnd(nullptr);
    StopLinkThread();
    return status;
}
