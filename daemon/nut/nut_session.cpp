#include "daemon/nut/nut_session.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "daemon/nut/nut_words.h"

namespace nut {
namespace {

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

void Err(std::string* out, const char* word) {
    *out += "ERR ";
    *out += word;
    *out += '\n';
}

bool LooksNumeric(const std::string& v) {
    if (v.empty()) return false;
    double d;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), d);
    return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

// A plain connection under force_tls: the client learns why, and that STARTTLS is the way in.
const char kTlsRequired[] = "ACCESS-DENIED tls-required";

const char kHelp[] = "Commands: HELP VER NETVER PROTVER GET LIST SET INSTCMD LOGIN LOGOUT USERNAME PASSWORD STARTTLS PRIMARY MASTER FSD\n";

}  // namespace

Session::Session(UnitBoard* board, const UsersFile* users, std::string peer, Clock clock, Log log)
    : board_(board), users_(users), peer_(std::move(peer)), clock_(clock), log_(std::move(log)) {}

Session::~Session() {
    if (!loggedIn_) return;
    auto& logins = loggedIn_->logins;
    for (auto it = logins.begin(); it != logins.end(); ++it) {
        if (it->second == this) {
            logins.erase(it);
            break;
        }
    }
}

const User* Session::CurrentUser() const {
    if (!users_) return nullptr;
    const auto it = users_->users.find(username_);
    return it == users_->users.end() ? nullptr : &it->second;
}

const char* Session::Authorise() {
    if (tlsRequired_ && !tls_) return kTlsRequired;
    if (!hasUsername_) return "USERNAME-REQUIRED";
    if (!hasPassword_) return "PASSWORD-REQUIRED";
    if (refuseOnce_) {
        refuseOnce_ = false;
        return "ACCESS-DENIED";
    }
    const User* user = CurrentUser();
    if (!verdict_ || verdictKnownUser_ != (user != nullptr) || (user && verdictStored_ != user->password)) {
        static const UsersFile kNobody;
        PasswordCheck check = MakePasswordCheck(users_ ? *users_ : kNobody, username_, password_);
        if (deferChecks_) {
            pending_ = std::move(check);
            return "";  // Handle drops whatever this request would have answered
        }
        const bool matches = check.Run();
        pending_ = std::move(check);
        SetVerdict(matches);
    }
    return *verdict_ ? nullptr : "ACCESS-DENIED";
}

void Session::SetVerdict(bool matches) {
    if (!pending_) return;
    verdict_ = matches;
    verdictKnownUser_ = pending_->known;
    verdictStored_ = pending_->stored;
    pending_.reset();
    if (matches) return;
    if (log_) log_("authentication failed for user \"" + username_ + "\" from " + peer_);
    board_->Note({}, "login", "authentication failed", username_, peer_);
}

void Session::RefuseCheck() {
    if (!pending_) return;
    pending_.reset();
    refuseOnce_ = true;
}

bool Session::Handle(std::string_view line, std::string* out) {
    const size_t answered = out->size();
    const bool open = Dispatch(line, out);
    if (pending_) out->resize(answered);
    return open;
}

bool Session::Dispatch(std::string_view line, std::string* out) {
    std::vector<std::string> w;
    if (SplitRequest(line, &w) != SplitResult::Ok) {
        Err(out, "INVALID-ARGUMENT");
        return true;
    }
    if (w.empty()) {  // as the reference server answers a blank line
        Err(out, "UNKNOWN-COMMAND");
        return true;
    }
    const std::string cmd = Upper(w[0]);
    if (cmd == "GET") {
        Get(w, out);
    } else if (cmd == "LIST") {
        List(w, out);
    } else if (cmd == "SET") {
        Set(w, out);
    } else if (cmd == "INSTCMD") {
        InstCmd(w, out);
    } else if (cmd == "USERNAME" || cmd == "PASSWORD") {
        const bool isUser = cmd == "USERNAME";
        if (tlsRequired_ && !tls_) {
            Err(out, kTlsRequired);
        } else if (w.size() != 2) {
            Err(out, "INVALID-ARGUMENT");
        } else if (isUser ? hasUsername_ : hasPassword_) {
            Err(out, isUser ? "ALREADY-SET-USERNAME" : "ALREADY-SET-PASSWORD");
        } else if (w[1].empty()) {
            Err(out, isUser ? "INVALID-USERNAME" : "INVALID-PASSWORD");
        } else {
            (isUser ? username_ : password_) = w[1];
            (isUser ? hasUsername_ : hasPassword_) = true;
            *out += "OK\n";
        }
    } else if (cmd == "LOGIN") {
        Login(w, out);
    } else if (cmd == "LOGOUT") {
        *out += "OK Goodbye\n";
        return false;
    } else if (cmd == "PRIMARY" || cmd == "MASTER") {
        Primary(w, cmd == "MASTER", out);
    } else if (cmd == "FSD") {
        Fsd(w, out);
    } else if (cmd == "STARTTLS") {
        // Arguments are ignored, as the reference server ignores them.
        if (tls_) {
            Err(out, "ALREADY-SSL-MODE");
        } else if (!tlsOffered_) {
            Err(out, "FEATURE-NOT-CONFIGURED");
        } else {
            *out += "OK STARTTLS\n";
            tls_ = startTls_ = true;
        }
    } else if (cmd == "VER") {
        *out += "Vespero vesperod " VESPERO_VERSION " - NUT network protocol 1.3\n";
    } else if (cmd == "NETVER" || cmd == "PROTVER") {
        *out += "1.3\n";
    } else if (cmd == "HELP") {
        *out += kHelp;
    } else {
        Err(out, "UNKNOWN-COMMAND");
    }
    return true;
}

void Session::Get(const std::vector<std::string>& w, std::string* out) {
    if (w.size() < 2) return Err(out, "INVALID-ARGUMENT");
    const std::string sub = Upper(w[1]);
    if (sub == "TRACKING") {
        if (w.size() == 2) {
            *out += tracking_ ? "ON\n" : "OFF\n";
        } else if (w.size() == 3) {
            *out += board_->Tracking().Status(w[2], clock_()) + "\n";
        } else {
            Err(out, "INVALID-ARGUMENT");
        }
        return;
    }
    const bool twoArgs = sub == "VAR" || sub == "TYPE" || sub == "DESC" || sub == "CMDDESC";
    const bool oneArg = sub == "UPSDESC" || sub == "NUMLOGINS";
    if (!twoArgs && !oneArg) return Err(out, "INVALID-ARGUMENT");
    if (w.size() != (twoArgs ? 4u : 3u)) return Err(out, "INVALID-ARGUMENT");
    UnitBoard::Unit* unit = board_->Find(w[2]);
    if (!unit) return Err(out, "UNKNOWN-UPS");
    // Replies name the unit as the client spelled it: clients match the reply to their request.
    const std::string& ups = w[2];
    if (sub == "UPSDESC") {
        *out += "UPSDESC " + ups + " " + Quote(unit->description) + "\n";
        return;
    }
    if (sub == "NUMLOGINS") {
        *out += "NUMLOGINS " + ups + " " + std::to_string(unit->logins.size()) + "\n";
        return;
    }
    const std::string& name = w[3];
    if (sub == "CMDDESC") {
        if (!FindInstantCommand(name)) return Err(out, "CMD-NOT-SUPPORTED");
        *out += "CMDDESC " + ups + " " + name + " " + Quote(CommandDescription(name)) + "\n";
        return;
    }
    if (sub == "DESC") {
        const std::string_view desc = VariableDescription(name);
        *out += "DESC " + ups + " " + name + " " + Quote(desc.empty() ? "Description unavailable" : desc) + "\n";
        return;
    }
    if (board_->IsStale(*unit, clock_())) return Err(out, "DATA-STALE");
    const Variable* var = board_->FindVariable(*unit, name);
    if (!var) return Err(out, "VAR-NOT-SUPPORTED");
    if (sub == "VAR") {
        *out += "VAR " + ups + " " + name + " " + Quote(var->value) + "\n";
    } else {
        const std::string type =
            LooksNumeric(var->value) ? "NUMBER" : "STRING:" + std::to_string(std::max<size_t>(64, var->value.size()));
        *out += "TYPE " + ups + " " + name + " " + type + "\n";
    }
}

void Session::List(const std::vector<std::string>& w, std::string* out) {
    if (w.size() < 2) return Err(out, "INVALID-ARGUMENT");
    const std::string sub = Upper(w[1]);
    if (sub == "UPS") {
        if (w.size() != 2) return Err(out, "INVALID-ARGUMENT");
        *out += "BEGIN LIST UPS\n";
        for (const UnitBoard::Unit* u : board_->PresentUnits()) *out += "UPS " + u->name + " " + Quote(u->description) + "\n";
        *out += "END LIST UPS\n";
        return;
    }
    const bool withVar = sub == "ENUM" || sub == "RANGE";
    if (!withVar && sub != "VAR" && sub != "RW" && sub != "CMD" && sub != "CLIENT") return Err(out, "INVALID-ARGUMENT");
    if (w.size() != (withVar ? 4u : 3u)) return Err(out, "INVALID-ARGUMENT");
    UnitBoard::Unit* unit = board_->Find(w[2]);
    if (!unit) return Err(out, "UNKNOWN-UPS");
    // Replies name the unit as the client spelled it: clients match the reply to their request.
    const std::string& ups = w[2];
    if (sub == "CMD") {
        *out += "BEGIN LIST CMD " + ups + "\n";
        for (const InstantCommand& c : InstantCommands()) *out += "CMD " + ups + " " + c.name + "\n";
        *out += "END LIST CMD " + ups + "\n";
        return;
    }
    if (sub == "CLIENT") {
        *out += "BEGIN LIST CLIENT " + ups + "\n";
        for (const auto& [address, session] : unit->logins) *out += "CLIENT " + ups + " " + address + "\n";
        *out += "END LIST CLIENT " + ups + "\n";
        return;
    }
    if (board_->IsStale(*unit, clock_())) return Err(out, "DATA-STALE");
    if (sub == "VAR") {
        if (ups == unit->name) {
            *out += unit->listVarReply;
        } else {
            *out += "BEGIN LIST VAR " + ups + "\n";
            for (const Variable& v : unit->variables) *out += "VAR " + ups + " " + v.name + " " + Quote(v.value) + "\n";
            *out += "END LIST VAR " + ups + "\n";
        }
        return;
    }
    if (sub == "RW") {  // nothing on the unit is writable from the network
        *out += "BEGIN LIST RW " + ups + "\nEND LIST RW " + ups + "\n";
        return;
    }
    if (!board_->FindVariable(*unit, w[3])) return Err(out, "VAR-NOT-SUPPORTED");
    const std::string tail = sub + " " + ups + " " + w[3] + "\n";
    *out += "BEGIN LIST " + tail + "END LIST " + tail;
}

void Session::Set(const std::vector<std::string>& w, std::string* out) {
    if (w.size() < 2) return Err(out, "INVALID-ARGUMENT");
    const std::string sub = Upper(w[1]);
    if (sub == "TRACKING") {
        const std::string value = w.size() == 3 ? Upper(w[2]) : std::string();
        if (value != "ON" && value != "OFF") return Err(out, "INVALID-ARGUMENT");
        tracking_ = value == "ON";
        *out += "OK\n";
        return;
    }
    if (sub != "VAR" || w.size() != 5) return Err(out, "INVALID-ARGUMENT");
    if (const char* e = Authorise()) return Err(out, e);
    const User* user = CurrentUser();
    if (!user->actions.count("SET")) return Err(out, "ACCESS-DENIED");
    UnitBoard::Unit* unit = board_->Find(w[2]);
    if (!unit) return Err(out, "UNKNOWN-UPS");
    if (board_->IsStale(*unit, clock_())) return Err(out, "DATA-STALE");
    if (!board_->FindVariable(*unit, w[3])) return Err(out, "VAR-NOT-SUPPORTED");
    Err(out, "READONLY");
}

void Session::InstCmd(const std::vector<std::string>& w, std::string* out) {
    if (w.size() != 3 && w.size() != 4) return Err(out, "INVALID-ARGUMENT");
    if (const char* e = Authorise()) return Err(out, e);
    const User* user = CurrentUser();
    UnitBoard::Unit* unit = board_->Find(w[1]);
    if (!unit) return Err(out, "UNKNOWN-UPS");
    const InstantCommand* command = FindInstantCommand(w[2]);
    if (!command) return Err(out, "CMD-NOT-SUPPORTED");
    if (!user->instcmds.count("all") && !user->instcmds.count(command->name)) {
        if (log_) log_("user \"" + username_ + "\" from " + peer_ + " may not run " + command->name);
        board_->Note(unit->name, "instcmd", std::string(command->name) + ": ACCESS-DENIED", username_, peer_);
        return Err(out, "ACCESS-DENIED");
    }
    int value = 0;
    if (w.size() == 4) {
        if (!command->takesParameter) return Err(out, "INVALID-ARGUMENT");
        const std::string& p = w[3];
        const auto r = std::from_chars(p.data(), p.data() + p.size(), value);
        if (r.ec != std::errc() || r.ptr != p.data() + p.size() || value < 0 || value > 0xFFFF)
            return Err(out, "INVALID-ARGUMENT");
    }
    if (board_->IsStale(*unit, clock_())) {
        board_->Note(unit->name, "instcmd", std::string(command->name) + ": DATA-STALE", username_, peer_);
        return Err(out, "DATA-STALE");
    }
    const std::string id = tracking_ ? board_->Tracking().Start(unit->device, command->commandCode, clock_()) : std::string();
    board_->Queue(command->keybType, unit->device, value);
    if (log_) log_("INSTCMD " + unit->name + " " + command->name + " by \"" + username_ + "\" from " + peer_);
    board_->Note(unit->name, "instcmd",
                 std::string(command->name) + (w.size() == 4 ? " " + w[3] : std::string()) + ": OK", username_, peer_);
    *out += tracking_ ? "OK TRACKING " + id + "\n" : std::string("OK\n");
}

void Session::Login(const std::vector<std::string>& w, std::string* out) {
    if (w.size() != 2) return Err(out, "INVALID-ARGUMENT");
    if (const char* e = Authorise()) return Err(out, e);
    if (CurrentUser()->upsmon == UpsmonRole::None) return Err(out, "ACCESS-DENIED");
    if (loggedIn_) return Err(out, "ALREADY-LOGGED-IN");
    UnitBoard::Unit* unit = board_->Find(w[1]);
    if (!unit) return Err(out, "UNKNOWN-UPS");
    loggedIn_ = unit;
    unit->logins.emplace(peer_, this);
    if (log_) log_("user \"" + username_ + "\" from " + peer_ + " logged in to " + unit->name + (tls_ ? " over TLS" : ""));
    board_->Note(unit->name, "login", "logged in", username_, peer_);
    *out += "OK\n";
}

void Session::Primary(const std::vector<std::string>& w, bool legacyName, std::string* out) {
    if (w.size() != 2) return Err(out, "INVALID-ARGUMENT");
    if (const char* e = Authorise()) return Err(out, e);
    if (CurrentUser()->upsmon != UpsmonRole::Primary) return Err(out, "ACCESS-DENIED");
    if (!board_->Find(w[1])) return Err(out, "UNKNOWN-UPS");
    *out += legacyName ? "OK MASTER-GRANTED\n" : "OK PRIMARY-GRANTED\n";
}

void Session::Fsd(const std::vector<std::string>& w, std::string* out) {
    if (w.size() != 2) return Err(out, "INVALID-ARGUMENT");
    if (const char* e = Authorise()) return Err(out, e);
    const User* user = CurrentUser();
    if (user->upsmon != UpsmonRole::Primary && !user->actions.count("FSD")) return Err(out, "ACCESS-DENIED");
    UnitBoard::Unit* unit = board_->Find(w[1]);
    if (!unit) return Err(out, "UNKNOWN-UPS");
    board_->SetFsd(unit);
    if (log_) log_("forced shutdown set on " + unit->name + " by \"" + username_ + "\" from " + peer_);
    board_->Note(unit->name, "fsd", "forced shutdown set", username_, peer_);
    *out += "OK FSD-SET\n";
}

}  // namespace nut
