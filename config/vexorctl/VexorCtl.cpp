#include "vexorctl/VexorCtl.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <variant>

#include "Common/Errors/Win32Error.h"
#include "Common/Files/AtomicFile.h"
#include "Common/Rpc/RpcClient.h"
#include "Common/Text/ControlCharacters.h"
#include "Common/Text/TextConversion.h"
#include "client/VexorUpdateRpc.h"
#include "core/PassRecord.h"
#include "logic/FallbackSetting.h"
#include "logic/ServiceSandbox.h"
#include "logic/SettingsPageRules.h"
#include "vexorctl/HealthCheck.h"
#include "vexorctl/MetricsText.h"
#include "vexorctl/PassHistory.h"
#include "vexorctl/SplaySetting.h"
#include "vexorctl/TerminalText.h"

namespace TesselSoftware::VexorCtl {

namespace {

using namespace RPCClient;

constexpr char kHelpText[] =
    "Usage: vexorctl [--json] [--endpoint NAME] COMMAND [ARGUMENTS]\n"
    "\n"
    "Talks to the Vexor DAT updater service through its control endpoint.\n"
    "\n"
    "Commands:\n"
    "  versions                     the installed engine and DAT versions\n"
    "  status                       last and next check, whether a pass runs, the status line\n"
    "  history                      the service's recent messages, oldest first\n"
    "  start [--wait] [--timeout S] start an update pass now; --wait returns when that pass\n"
    "                               ended (default time-out 3600 s): exit 0 when it installed\n"
    "                               something or found everything up to date, 1 (with its\n"
    "                               error) when it failed or was cancelled\n"
    "  cancel                       cancel the running update pass\n"
    "  health [--warn-hours W] [--crit-hours C]\n"
    "                               one line for a monitoring system: VEXOR OK, WARNING\n"
    "                               (last pass failed, or the DAT set older than W hours,\n"
    "                               default 24), CRITICAL (no set, the set older than C\n"
    "                               hours, default 72, or the service down) or UNKNOWN,\n"
    "                               then \" | \" and performance data; exit 0, 1, 2 or 3\n"
    "  metrics [--output FILE]      the state in Prometheus' text format; --output writes\n"
    "                               FILE atomically (for node_exporter's textfile collector)\n"
    "  dat get [--show-passwords]   the DAT source settings\n"
    "  dat set KEY=VALUE...         change DAT source settings (the others stay)\n"
    "  engine get [--show-passwords]\n"
    "  engine set KEY=VALUE...      the same for the engine update source\n"
    "\n"
    "Keys: interval (dat only, seconds, kept within 600..3600), splay (dat only, 0..3600\n"
    "seconds added to every next check, fixed per machine; root only), source (internet, share,\n"
    "folder), url, use-proxy, proxy, proxy-port, proxy-logon, proxy-user, local-dir,\n"
    "share-dir, share-user, fallback (URL[,URL...]: further sites, in order, that a pass starts\n"
    "again from when it fails on one; empty clears; root only). Yes/no keys take yes, no,\n"
    "true, false, 1 or 0.\n"
    "\n"
    "Passwords are never taken from the command line:\n"
    "  --proxy-password | --share-password     ask for it (without echo on a terminal,\n"
    "                                          else one line of standard input)\n"
    "  --proxy-password-file F | --share-password-file F   the first line of F (- for stdin)\n"
    "\n"
    "Options: --json prints JSON for scripts (health: one object with its status, exit code,\n"
    "text and figures; metrics has no JSON form); --endpoint names another endpoint. An\n"
    "option that the command does not use is refused.\n"
    "Exit status: 0 done, 1 the service refused (or the awaited pass failed), 2 usage\n"
    "or invalid input, 3 service unreachable or transport failure, 4 access denied;\n"
    "health: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n"
    "health and metrics read the settings store too: run them as root or as an account\n"
    "in the group vexor.\n";

constexpr int32_t kLocalFolderSource = 2;

struct UsageError {
    std::string text;
};

[[noreturn]] void Usage(std::string text) { throw UsageError{std::move(text)}; }

// One output value: text, a number or a yes/no.
using Value = std::variant<std::string, int64_t, bool>;
using Fields = std::vector<std::pair<std::string, Value>>;

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned code = 0;
        if (const size_t length = ControlCharacterAt(text, i, &code)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", code);
            json += escape;
            i += length;
            continue;
        }
        if (text[i] == '"' || text[i] == '\\') json += '\\';
        json += text[i++];
    }
    return json + "\"";
}

std::string JsonValue(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return JsonString(*text);
    if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
    return std::get<bool>(value) ? "true" : "false";
}

std::string TextValue(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return Printable(*text);
    if (const auto* number = std::get_if<int64_t>(&value)) return std::to_string(*number);
    return std::get<bool>(value) ? "yes" : "no";
}

void Print(std::ostream& out, bool json, const Fields& fields) {
    if (json) {
        out << "{";
        for (size_t i = 0; i < fields.size(); ++i) {
            out << (i ? ", " : "") << JsonString(fields[i].first) << ": " << JsonValue(fields[i].second);
        }
        out << "}\n";
        return;
    }
    for (const auto& [name, value] : fields) out << name << ": " << TextValue(value) << "\n";
}

std::string LocalTime(int64_t seconds) {
    if (seconds == 0) return "never";
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    localtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

const char* SourceName(int32_t type) {
    switch (type) {
        case 0: return "internet";
        case 1: return "share";
        case 2: return "folder";
        default: return nullptr;
    }
}

bool ParseYesNo(const std::string& key, const std::string& text) {
    if (text == "yes" || text == "true" || text == "1") return true;
    if (text == "no" || text == "false" || text == "0") return false;
    Usage("invalid value for " + key + ": '" + text + "' (use yes or no)");
}

int64_t ParseNumber(const std::string& key, const std::string& text, int64_t low, int64_t high) {
    size_t used = 0;
    int64_t value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || value < low || value > high) {
        Usage("invalid value for " + key + ": '" + text + "' (a number from " + std::to_string(low) + " to " +
              std::to_string(high) + ")");
    }
    return value;
}

struct Command {
    bool json = false;
    std::string endpoint = kUpdaterEndpoint;
    std::vector<std::string> words;                  // command and its plain arguments
    std::map<std::string, std::string> assignments;  // KEY=VALUE
    bool wait = false;
    int64_t timeout_seconds = 3600;
    bool show_passwords = false;
    std::map<std::string, std::string> password_sources;  // "proxy"/"share" -> "" (ask) or file
    HealthLimits health_limits;
    std::string output;  // metrics --output
    std::set<std::string> options;  // every option given, as spelled
};

// The command (the first plain word), known before the whole line parses.
std::string CommandWord(const std::vector<std::string>& args) {
    static const std::set<std::string> kTakeValues = {"--endpoint",   "--timeout",           "--warn-hours",
                                                      "--crit-hours", "--output",            "--proxy-password-file",
                                                      "--share-password-file"};
    for (size_t i = 0; i < args.size(); ++i) {
        if (kTakeValues.count(args[i]) != 0) ++i;
        else if (args[i].rfind("--", 0) != 0) return args[i];
    }
    return {};
}

Command Parse(const std::vector<std::string>& args) {
    Command command;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto next = [&]() -> const std::string& {
            if (i + 1 >= args.size()) Usage(arg + " needs a value");
            return args[++i];
        };
        if (arg.rfind("--", 0) == 0) command.options.insert(arg);
        if (arg == "--json") {
            command.json = true;
        } else if (arg == "--endpoint") {
            command.endpoint = next();
        } else if (arg == "--wait") {
            command.wait = true;
        } else if (arg == "--timeout") {
            command.timeout_seconds = ParseNumber("--timeout", next(), 1, 86400);
        } else if (arg == "--warn-hours" || arg == "--crit-hours") {
            const std::string& value = next();
            (arg == "--warn-hours" ? command.health_limits.warn_seconds : command.health_limits.crit_seconds) =
                ParseNumber(arg, value, 1, 87600) * 3600;
        } else if (arg == "--output") {
            command.output = next();
            if (command.output.empty()) Usage("--output needs a file name");
        } else if (arg == "--show-passwords") {
            command.show_passwords = true;
        } else if (arg == "--proxy-password" || arg == "--share-password") {
            command.password_sources[arg.substr(2, arg.find('-', 2) - 2)] = "";
        } else if (arg == "--proxy-password-file" || arg == "--share-password-file") {
            command.password_sources[arg.substr(2, arg.find('-', 2) - 2)] = next();
        } else if (arg.rfind("--", 0) == 0) {
            Usage("unknown option " + arg);
        } else if (const size_t equals = arg.find('='); equals != std::string::npos && command.words.size() >= 2) {
            const std::string key = arg.substr(0, equals);
            if (key == "proxy-password" || key == "share-password") {
                Usage("passwords are not taken from the command line; use --" + key + " or --" + key + "-file");
            }
            command.assignments[key] = arg.substr(equals + 1);
        } else {
            command.words.push_back(arg);
        }
    }
    return command;
}

// A NUL would cut the password short on its way to the service.
void CheckPasswordText(const std::string& which, const std::string& line) {
    if (line.find('\0') != std::string::npos) Usage("the " + which + " password holds a NUL character");
}

// Reads one password: from a file, from standard input, or asked for on the
// terminal without echo.
std::string ReadPassword(const std::string& which, const std::string& source, std::istream& in,
                         std::ostream& err) {
    std::string line;
    if (!source.empty() && source != "-") {
        std::ifstream file(source);
        if (!file) Usage("cannot read the " + which + " password file " + source);
        std::getline(file, line);
        CheckPasswordText(which, line);
        return Trimmed(line);
    }
    const bool terminal = &in == &std::cin && ::isatty(STDIN_FILENO);
    termios saved{};
    if (terminal) {
        err << (which == "proxy" ? "Proxy password: " : "Share password: ") << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::getline(in, line);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        err << "\n";
    }
    CheckPasswordText(which, line);
    return Trimmed(line);
}

Fields SourceFields(const SourceValues& source, bool show_passwords) {
    const auto password = [&](const std::string& text) -> std::string {
        return show_passwords || text.empty() ? text : "********";
    };
    return {{"url", source.source_url},
            {"use-proxy", source.use_proxy_server},
            {"proxy", source.proxy_server},
            {"proxy-port", int64_t{source.proxy_port}},
            {"proxy-logon", source.proxy_requires_logon},
            {"proxy-user", source.proxy_user},
            {"proxy-password", password(source.proxy_password)},
            {"local-dir", source.local_directory},
            {"share-dir", source.net_share_directory},
            {"share-user", source.net_share_user_name},
            {"share-password", password(source.net_share_password)}};
}

Value SourceTypeValue(int32_t type) {
    if (const char* name = SourceName(type)) return std::string(name);
    return int64_t{type};
}

// Applies the command's assignments and passwords to source and *type.
void ApplyAssignments(const Command& command, bool dat, int64_t* interval, int32_t* type, SourceValues& source,
                      std::istream& in, std::ostream& err) {
    const std::map<std::string, std::string*> texts = {
        {"url", &source.source_url},         {"proxy", &source.proxy_server},
        {"proxy-user", &source.proxy_user},  {"local-dir", &source.local_directory},
        {"share-dir", &source.net_share_directory}, {"share-user", &source.net_share_user_name}};
    for (const auto& [key, value] : command.assignments) {
        if (!IsValidUtf8(value)) Usage("the value of " + key + " is not valid UTF-8 text");
        if (key == "url") {
            if (const std::string problem = VexorConfig::SourceUrlProblem(value); !problem.empty()) {
                Usage("invalid value for url: '" + value + "' (" + problem + ")");
            }
        }
        if (const auto text = texts.find(key); text != texts.end()) {
            *text->second = value;
        } else if ((key == "splay" && dat) || key == "fallback") {
            // Stored apart from the service's settings: see Execute.
        } else if (key == "interval" && dat) {
            *interval = ParseNumber(key, value, 1, INT32_MAX);
        } else if (key == "source") {
            const std::map<std::string, int32_t> names = {{"internet", 0}, {"share", 1}, {"folder", 2},
                                                          {"0", 0},        {"1", 1},     {"2", 2}};
            const auto found = names.find(value);
            if (found == names.end()) Usage("invalid value for source: '" + value + "' (internet, share or folder)");
            *type = found->second;
        } else if (key == "use-proxy") {
            source.use_proxy_server = ParseYesNo(key, value);
        } else if (key == "proxy-logon") {
            source.proxy_requires_logon = ParseYesNo(key, value);
        } else if (key == "proxy-port") {
            source.proxy_port = static_cast<uint16_t>(ParseNumber(key, value, 0, 65535));
        } else {
            Usage("unknown key " + key);
        }
    }
    for (const auto& [which, from] : command.password_sources) {
        std::string password = ReadPassword(which, from, in, err);
        if (!IsValidUtf8(password)) Usage("the " + which + " password is not valid UTF-8 text");
        (which == "proxy" ? source.proxy_password : source.net_share_password) = std::move(password);
    }
}

int Refused(CVexorUpdateRpc& rpc, std::ostream& err) {
    err << "vexorctl: the service refused: " << Printable(Trimmed(rpc.GetLastErrorText())) << "\n";
    return kServiceSaidNo;
}

// Tells how the awaited pass ended, from its last line: exit 0 when it
// succeeded, 1 with its error when it failed (a cancel is a failure too).
int ReportPassEnd(const Command& command, const std::string& last_line, int64_t last_check, std::ostream& out,
                  std::ostream& err) {
    const std::string line = OneLine(last_line);
    Print(out, command.json, {{"status", line}, {"last-check", LocalTime(last_check)}});
    if (line.rfind("Error: ", 0) == 0) {
        err << "vexorctl: the update pass failed: " << Printable(line.substr(7)) << "\n";
        return kServiceSaidNo;
    }
    return kOk;
}

int WaitedTooLong(const Command& command, std::ostream& err) {
    err << "vexorctl: the update pass did not end within " << command.timeout_seconds << " seconds\n";
    return kServiceSaidNo;
}

// Waits for the pass the start request led to, by the machine's pass
// record: the running pass when one ran (the service drops a request that
// comes during a pass), else the next one to start. Every pass has a number
// of its own, so passes shorter than a poll, or alike to the line and the
// second, are told apart.
int WaitForRecordedPass(const Command& command, const PassRecord& before, std::ostream& out, std::ostream& err) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(command.timeout_seconds);
    const uint64_t awaited = before.Running() ? before.started : before.started + 1;
    for (;;) {
        PassRecord now;
        try {
            now = ReadPassRecord();
        } catch (const ExceptionBase& e) {
            err << "vexorctl: the pass record cannot be read: " << Printable(Trimmed(e.Message())) << "\n";
            return kServiceSaidNo;
        }
        if (now.ended >= awaited) return ReportPassEnd(command, now.result, now.last_check, out, err);
        if (std::chrono::steady_clock::now() > deadline) return WaitedTooLong(command, err);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The same for an account that may not read the settings store: the pass
// is found by its lines in the history, gathered poll by poll (the history
// keeps only the newest lines, and a pass may write more of them than that
// between two polls). Passes alike to the line that end in one second
// cannot be told apart this way.
int WaitForPassInHistory(CVexorUpdateRpc& rpc, const Command& command, const std::vector<HistoryLine>& history_before,
                         std::ostream& out, std::ostream& err) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(command.timeout_seconds);
    UpdaterStatus status;
    std::vector<HistoryLine> previous = history_before, now, seen;
    const auto gather = [&] {
        if (!ReadHistory(rpc, &now)) return false;
        const std::vector<HistoryLine> added = AddedSince(previous, now);
        seen.insert(seen.end(), added.begin(), added.end());
        previous = now;
        return true;
    };
    for (;;) {
        // The service marks a pass running before its first line and done
        // after its last: lines seen, then "not running" asked after them,
        // means that pass has ended; one more read collects its last lines.
        if (!gather() || !rpc.GetStatus(status)) return Refused(rpc, err);
        const bool passed = std::any_of(seen.begin(), seen.end(), [](const HistoryLine& line) {
            return line.text == kPassStarts || IsPassEnd(line);
        });
        if (passed && !status.is_update_running) {
            if (!gather()) return Refused(rpc, err);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) return WaitedTooLong(command, err);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // The pass's own lines: from its opening line on, when it was seen.
    const auto opening = std::find_if(seen.rbegin(), seen.rend(),
                                      [](const HistoryLine& line) { return line.text == kPassStarts; });
    const auto first = opening == seen.rend() ? seen.begin() : opening.base() - 1;
    // A failed pass ends with its "Error: ..." line (a cancel is one too).
    const auto failure = std::find_if(first, seen.end(), IsPassFailure);
    return ReportPassEnd(command, failure != seen.end() ? failure->text : std::string(kPassSucceeded),
                         status.last_update, out, err);
}

// Refuses an option that the command would not use, rather than ignore it:
// "vexorctl status --wait" waits for nothing, and saying so is the truth.
void CheckOptionsApply(const Command& command) {
    static const std::set<std::string> kEverywhere = {"--json", "--endpoint"};
    static const std::map<std::string, std::set<std::string>> kOwn = {
        {"start", {"--wait", "--timeout"}},
        {"health", {"--warn-hours", "--crit-hours"}},
        {"metrics", {"--output"}},
        {"get", {"--show-passwords"}},
        {"set", {"--proxy-password", "--share-password", "--proxy-password-file", "--share-password-file"}},
    };
    const std::vector<std::string>& words = command.words;
    const std::string verb = words.empty() ? "" : words[0];
    // dat and engine take their sub-command's options.
    const std::string owner = (verb == "dat" || verb == "engine") && words.size() >= 2 ? words[1] : verb;
    const auto own = kOwn.find(owner);
    for (const std::string& option : command.options) {
        if (kEverywhere.count(option) != 0 || (own != kOwn.end() && own->second.count(option) != 0)) continue;
        Usage("the option " + option + " does not apply to '" + (owner == verb ? verb : verb + " " + owner) + "'");
    }
    if (command.options.count("--timeout") != 0 && !command.wait) Usage("--timeout applies to start --wait");
    // The metrics are Prometheus' text format, which has no JSON form.
    if (verb == "metrics" && command.json) Usage("the option --json does not apply to 'metrics'");
}

// health's verdict as one JSON object: the state, the exit status, the
// judgement and each figure of the performance data.
std::string HealthJson(const HealthVerdict& verdict) {
    std::string json = "{\"status\": " + JsonString(HealthStateName(verdict.state)) +
                       ", \"exit-code\": " + std::to_string(verdict.state) + ", \"text\": " +
                       JsonString(OneLine(verdict.text));
    for (const HealthFigure& figure : verdict.figures) {
        json += ", " + JsonString(figure.name) + ": " + std::to_string(figure.value);
        if (figure.warn) json += ", " + JsonString(figure.name + "_warn") + ": " + std::to_string(*figure.warn);
        if (figure.crit) json += ", " + JsonString(figure.name + "_crit") + ": " + std::to_string(*figure.crit);
    }
    return json + "}";
}

int Execute(const Command& command, CVexorUpdateRpc& rpc, std::istream& in, std::ostream& out, std::ostream& err) {
    CheckOptionsApply(command);
    const std::vector<std::string>& words = command.words;
    const std::string verb = words.empty() ? "" : words[0];
    const auto expect_words = [&](size_t count) {
        if (words.size() != count) Usage("wrong number of arguments for " + verb);
    };
    if (verb == "versions") {
        expect_words(1);
        std::string engine, dat;
        if (!rpc.GetVersionInfo(engine, dat)) return Refused(rpc, err);
        Print(out, command.json, {{"engine-version", engine}, {"dat-version", dat}});
    } else if (verb == "status") {
        expect_words(1);
        UpdaterStatus status;
        if (!rpc.GetStatus(status)) return Refused(rpc, err);
        Print(out, command.json,
              {{"last-check", command.json ? Value{status.last_update} : Value{LocalTime(status.last_update)}},
               {"next-check", command.json ? Value{status.next_update} : Value{LocalTime(status.next_update)}},
               {"update-running", status.is_update_running},
               {"status", command.json ? status.status : OneLine(status.status)}});
    } else if (verb == "history") {
        expect_words(1);
        TRPCClientArray<VexorLogEntry> entries;
        if (!rpc.GetLogEntries(entries)) return Refused(rpc, err);
        if (command.json) out << "[";
        for (int32_t i = 0; i < entries.Count(); ++i) {
            const std::string text = entries[i].text != nullptr ? WideToNarrow(entries[i].text) : "";
            if (command.json) {
                out << (i ? ", " : "") << "{\"time\": " << entries[i].time << ", \"text\": " << JsonString(text) << "}";
            } else {
                out << LocalTime(entries[i].time) << "  " << Printable(OneLine(text)) << "\n";
            }
        }
        if (command.json) out << "]\n";
    } else if (verb == "start") {
        expect_words(1);
        if (!command.wait) {
            rpc.StartUpdate();
            return kOk;
        }
        std::optional<PassRecord> record;
        try {
            record = ReadPassRecord();
        } catch (const ExceptionBase&) {
            // Not a member of group vexor: the history has to tell.
        }
        std::vector<HistoryLine> history_before;
        if (!record && !ReadHistory(rpc, &history_before)) return Refused(rpc, err);
        rpc.StartUpdate();
        return record ? WaitForRecordedPass(command, *record, out, err)
                      : WaitForPassInHistory(rpc, command, history_before, out, err);
    } else if (verb == "health") {
        expect_words(1);
        if (command.health_limits.warn_seconds > command.health_limits.crit_seconds) {
            Usage("--warn-hours is more than --crit-hours");
        }
        const HealthVerdict verdict =
            JudgeHealth(ReadUpdater(rpc), static_cast<int64_t>(std::time(nullptr)), command.health_limits);
        out << (command.json ? HealthJson(verdict) : verdict.line) << "\n";
        return verdict.state;
    } else if (verb == "metrics") {
        expect_words(1);
        const UpdaterReading reading = ReadUpdater(rpc);
        if (reading.service == UpdaterReading::Service::kAccessDenied) {
            err << "vexorctl: " << Printable(reading.service_error) << "\n";
            return kAccessDenied;
        }
        if (reading.service == UpdaterReading::Service::kMalformed) {
            err << "vexorctl: " << Printable(reading.service_error) << "\n";
            return kServiceSaidNo;
        }
        const std::string text = MetricsText(reading);
        if (command.output.empty()) {
            out << text;
        } else if (const std::string failure = WriteFileAtomically(command.output, text); !failure.empty()) {
            err << "vexorctl: " << failure << "\n";
            return kServiceSaidNo;
        }
    } else if (verb == "cancel") {
        expect_words(1);
        rpc.StopUpdate();
    } else if ((verb == "dat" || verb == "engine") && words.size() == 2 && (words[1] == "get" || words[1] == "set")) {
        const bool dat = verb == "dat";
        DatSettings dat_settings;
        EngineSettings engine_settings;
        SourceValues& source = dat ? dat_settings.source : engine_settings.source;
        int32_t& type = dat ? dat_settings.dat_source : engine_settings.downloader_type;
        if (!(dat ? rpc.GetDatSourceSettings(dat_settings) : rpc.GetEngineUpdateSettings(engine_settings))) {
            return Refused(rpc, err);
        }
        if (words[1] == "get") {
            Fields fields;
            if (dat) {
                fields.emplace_back("interval", dat_settings.update_interval);
                const std::optional<int64_t> splay = ReadSplaySetting();
                fields.emplace_back("splay", splay ? Value{*splay} : Value{std::string("unknown")});
            }
            fields.emplace_back("source", SourceTypeValue(type));
            for (auto& field : SourceFields(source, command.show_passwords)) fields.push_back(std::move(field));
            const auto fallback = VexorConfig::ReadFallbackSetting(dat);
            std::string sites;
            for (const std::string& site : fallback.value_or(std::vector<std::string>{})) {
                sites += (sites.empty() ? "" : ",") + site;
            }
            fields.emplace_back("fallback", fallback ? Value{sites} : Value{std::string("unknown")});
            Print(out, command.json, fields);
            return kOk;
        }
        if (command.assignments.empty() && command.password_sources.empty()) Usage("nothing to set");
        // The splay and the fallback sites live in the settings store only;
        // the rest goes through the service.
        std::optional<int64_t> splay;
        if (const auto found = command.assignments.find("splay"); found != command.assignments.end() && dat) {
            splay = ParseNumber("splay", found->second, 0, 3600);
        }
        std::optional<std::vector<std::string>> fallback;
        if (const auto found = command.assignments.find("fallback"); found != command.assignments.end()) {
            std::string problem;
            fallback = VexorConfig::ParseFallbackList(found->second, &problem);
            if (!problem.empty()) Usage("invalid value for fallback: " + problem);
        }
        const size_t store_only = (splay ? 1 : 0) + (fallback ? 1 : 0);
        if (store_only == 0 || command.assignments.size() > store_only || !command.password_sources.empty()) {
            ApplyAssignments(command, dat, &dat_settings.update_interval, &type, source, in, err);
            if (dat && command.assignments.count("interval") != 0) {
                const int64_t kept = VexorConfig::StoredInterval(dat_settings.update_interval);
                if (kept != dat_settings.update_interval) {
                    err << "vexorctl: note: the interval " << dat_settings.update_interval
                        << " s is outside 600..3600 seconds; the service keeps " << kept << " s\n";
                }
            }
            if (!(dat ? rpc.SetDatSourceSettings(dat_settings) : rpc.SetEngineUpdateSettings(engine_settings))) {
                return Refused(rpc, err);
            }
            // Saved all the same: the folder may be meant for another machine.
            if (type == kLocalFolderSource) {
                if (const std::string hidden = VexorConfig::FolderHiddenFromService(source.local_directory);
                    !hidden.empty()) {
                    err << "vexorctl: warning: " << Printable(hidden) << "\n";
                }
            }
        }
        if (splay) {
            if (const std::string failure = WriteSplaySetting(*splay); !failure.empty()) {
                err << "vexorctl: " << Printable(failure) << "\n";
                return kAccessDenied;
            }
        }
        if (fallback) {
            if (const std::string failure = VexorConfig::WriteFallbackSetting(dat, *fallback); !failure.empty()) {
                err << "vexorctl: " << Printable(failure) << "\n";
                return kAccessDenied;
            }
        }
    } else {
        Usage(verb.empty() ? "no command given" : "unknown command '" + verb + "'");
    }
    return kOk;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h" || arg == "help") {
            out << kHelpText;
            return kOk;
        }
    }
    // A monitoring system runs health: whatever stops it from judging is
    // UNKNOWN, in its one-line (or JSON) form, never vexorctl's usage status.
    const bool health = CommandWord(args) == "health";
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    const auto failed = [&](const std::string& text, int status) {
        if (health) {
            HealthVerdict unknown;
            unknown.text = text;
            unknown.line = "VEXOR UNKNOWN - " + Printable(OneLine(text));
            out << (json ? HealthJson(unknown) : unknown.line) << "\n";
            return static_cast<int>(kHealthUnknown);
        }
        err << "vexorctl: " << Printable(OneLine(text)) << (status == kUsage ? "\nTry 'vexorctl --help'." : "")
            << "\n";
        return status;
    };
    std::string endpoint = kUpdaterEndpoint;
    try {
        const Command command = Parse(args);
        endpoint = command.endpoint;
        if (!command.assignments.empty() && (command.words.size() != 2 || command.words[1] != "set")) {
            Usage("KEY=VALUE arguments belong to 'dat set' and 'engine set'");
        }
        CVexorUpdateRpc rpc;
        if (!rpc.CreateBinding(command.endpoint)) {
            // Not a usage error's text: no hint to read the help.
            if (!health) err << "vexorctl: " << Printable(OneLine(rpc.GetLastErrorText())) << "\n";
            return health ? failed(rpc.GetLastErrorText(), kUsage) : kUsage;
        }
        return Execute(command, rpc, in, out, err);
    } catch (const UsageError& e) {
        return failed(e.text, kUsage);
    } catch (const CRPCException& e) {
        std::string text = OneLine(e.Message());
        if (e.Code() == static_cast<int32_t>(Win32::kServerUnavailable)) {
            text += " The updater service is not running, or not listening at " + RpcEndpointPath(endpoint) +
                    " (systemctl status VexorDatUpdater64).";
        }
        return failed(text, e.Code() == 5 ? kAccessDenied : kUnreachable);
    }
}

}  // namespace TesselSoftware::VexorCtl
