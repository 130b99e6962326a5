// The report mail against a real SMTP server (aiosmtpd) on 127.0.0.1 port 25.
//
// Each test process moves into a network namespace of its own, so port 25 on its loopback belongs
// to it alone and tests running side by side cannot see each other's servers. The server records
// what it saw (see tests/tools/smtp_server.py); the tests read that record back.
#include "settings/mailreport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/global_unit.h"
#include "logs/logfiles.h"

extern "C" char** environ;

namespace veltrin {
namespace {

const char kPython[] = "/usr/bin/python3";
const std::string kScript = std::string(VELTRIN_TOOLS) + "/smtp_server.py";

// ---- environment ---------------------------------------------------------------------------

int RunQuiet(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveAiosmtpd() {
    static const bool have = RunQuiet({kPython, "-c", "import aiosmtpd.smtp"}) == 0;
    return have;
}

// A loopback of our own: unshare the network namespace and bring "lo" up in it.
bool PrivateLoopback() {
    static const bool entered = [] {
        if (unshare(CLONE_NEWNET) != 0) return false;
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
        close(fd);
        return up;
    }();
    return entered;
}

// ---- the recording server --------------------------------------------------------------------

struct Event {
    std::string name, value;
};

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

class SmtpServer {
  public:
    // With a user name the server offers AUTH LOGIN and insists on it; without, no AUTH at all.
    explicit SmtpServer(const std::string& user = {}, const std::string& password = {},
                        bool refuseEhlo = false) {
        char pattern[] = "/tmp/veltrin-smtp-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            error_ = "mkdtemp failed";
            return;
        }
        dir_ = pattern;
        record_ = dir_ + "/record.txt";
        const std::string errlog = dir_ + "/stderr.txt";
        std::vector<std::string> args = {kPython, kScript, "--record", record_, "--lifetime", "120"};
        if (!user.empty()) args.insert(args.end(), {"--user", user, "--password", password});
        if (refuseEhlo) args.push_back("--refuse-ehlo");
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);

        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            error_ = "pipe failed";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, errlog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&pid_, kPython, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            pid_ = -1;
            close(out[0]);
            error_ = "cannot start " + std::string(kPython);
            return;
        }
        // Wait for the READY line; a server that cannot bind says ERROR and ends.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (line.find('\n') == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[256];
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            line.append(buffer, static_cast<std::size_t>(n));
        }
        close(out[0]);
        if (line.rfind("READY", 0) != 0) {
            std::ifstream in(errlog);
            std::stringstream text;
            text << in.rdbuf();
            error_ = "SMTP server did not start: " + line + " " + text.str();
            Stop();
        }
    }

    ~SmtpServer() {
        Stop();
        if (!dir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    const std::string& error() const { return error_; }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::vector<Event> Events() const {
        std::vector<Event> events;
        std::ifstream in(record_);
        std::string line;
        while (std::getline(in, line)) {
            std::size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            events.push_back({line.substr(0, tab), FromHex(line.substr(tab + 1))});
        }
        return events;
    }

    std::vector<std::string> All(const std::string& name) const {
        std::vector<std::string> out;
        for (const Event& e : Events())
            if (e.name == name) out.push_back(e.value);
        return out;
    }

    std::string One(const std::string& name) const {
        std::vector<std::string> all = All(name);
        return all.size() == 1 ? all[0] : "<" + std::to_string(all.size()) + " " + name + " events>";
    }

  private:
    pid_t pid_ = -1;
    std::string dir_, record_, error_;
};

// ---- message helpers -------------------------------------------------------------------------

std::string BodyOf(const std::string& data) {
    std::size_t end = data.find("\r\n\r\n");
    return end == std::string::npos ? std::string("<no header end>") : data.substr(end + 4);
}

// A header field's value with continuation lines unfolded; "<missing>" when absent.
std::string HeaderOf(const std::string& data, const std::string& name) {
    std::size_t end = data.find("\r\n\r\n");
    std::string head = data.substr(0, end == std::string::npos ? data.size() : end + 2);
    std::string unfolded;
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head.compare(i, 3, "\r\n ") == 0 || head.compare(i, 3, "\r\n\t") == 0) {
            i += 1;
            continue;
        }
        unfolded.push_back(head[i]);
    }
    std::istringstream lines(unfolded);
    std::string line;
    const std::string key = name + ": ";
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, key.size(), key) == 0) return line.substr(key.size());
    }
    return "<missing>";
}

std::string CrLfLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += l + "\r\n";
    return out;
}

class MailReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root: the SMTP server binds port 25";
        if (!HaveAiosmtpd())
            GTEST_SKIP() << kPython << " cannot import aiosmtpd (Debian package python3-aiosmtpd)";
        if (!PrivateLoopback())
            std::fprintf(stderr, "note: no private network namespace; using the shared loopback\n");
    }

    static Tmailsetting AuthMail() {
        Tmailsetting m;
        m.smtpserver = "127.0.0.1";
        m.sendfrom = "monitor@x.test";
        m.sendto = "ops@x.test";
        m.subject = "Ping report";
        m.emailtext = "all hosts answer";
        m.authentication = true;
        m.option1 = Base64Encode(kUser);
        m.option2 = Base64Encode(kPassword);
        return m;
    }

    static Tmailsetting OpenMail() {
        Tmailsetting m = AuthMail();
        m.authentication = false;
        m.option1.clear();
        m.option2.clear();
        return m;
    }

    static inline const std::string kUser = "report user";
    static inline const std::string kPassword = "p@ss:w\xC3\xB6rd 1";
};

#define START_SERVER(name, ...)   \
    SmtpServer name{__VA_ARGS__}; \
    ASSERT_EQ(name.error(), "")

// ---- delivery ------------------------------------------------------------------------------

TEST_F(MailReportTest, DeliversWithLoginAndTheDecodedCredentials) {
    START_SERVER(server, kUser, kPassword);
    Tmailsetting mail = AuthMail();
    EXPECT_EQ(SendMail(mail), "Successfully delivered");

    EXPECT_EQ(server.One("auth_login"), kUser);
    EXPECT_EQ(server.One("auth_pass"), kPassword);
    EXPECT_EQ(server.One("auth_result"), "ok");
    EXPECT_EQ(server.One("mail_from"), "monitor@x.test");
    EXPECT_EQ(server.All("rcpt"), std::vector<std::string>{"ops@x.test"});

    std::vector<std::string> commands = server.All("cmd");
    ASSERT_GE(commands.size(), 5u);
    EXPECT_TRUE(std::regex_match(commands[0], std::regex("EHLO [A-Za-z0-9.-]+"))) << commands[0];
    EXPECT_EQ(commands[1], "AUTH LOGIN");

    const std::string data = server.One("data");
    EXPECT_EQ(HeaderOf(data, "From"), "monitor@x.test");
    EXPECT_EQ(HeaderOf(data, "To"), "ops@x.test");
    EXPECT_EQ(HeaderOf(data, "Subject"), "Ping report");
    EXPECT_EQ(HeaderOf(data, "MIME-Version"), "1.0");
    EXPECT_EQ(HeaderOf(data, "Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(HeaderOf(data, "Content-Transfer-Encoding"), "7bit");
    EXPECT_TRUE(std::regex_match(HeaderOf(data, "Date"),
                                 std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                            "20[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}")))
        << HeaderOf(data, "Date");
    EXPECT_TRUE(std::regex_match(HeaderOf(data, "Message-ID"), std::regex("<[0-9a-f.]+@x\\.test>")))
        << HeaderOf(data, "Message-ID");
    EXPECT_EQ(BodyOf(data), "all hosts answer\r\n");
}

TEST_F(MailReportTest, OneRcptPerRecipientAndAllInTheToHeader) {
    START_SERVER(server);
    Tmailsetting mail = OpenMail();
    mail.sendto = "a@x.test,b@x.test";
    EXPECT_EQ(SendMail(mail), "Successfully delivered");
    EXPECT_EQ(server.All("rcpt"), (std::vector<std::string>{"a@x.test", "b@x.test"}));
    EXPECT_EQ(HeaderOf(server.One("data"), "To"), "a@x.test, b@x.test");
}

TEST_F(MailReportTest, RecipientsAreTrimmedAndEmptyPiecesSkipped) {
    START_SERVER(server);
    Tmailsetting mail = OpenMail();
    mail.sendto = " a@x.test , ,\tb@x.test,, c@x.test ,";
    EXPECT_EQ(SendMail(mail), "Successfully delivered");
    EXPECT_EQ(server.All("rcpt"), (std::vector<std::string>{"a@x.test", "b@x.test", "c@x.test"}));
    EXPECT_EQ(HeaderOf(server.One("data"), "To"), "a@x.test, b@x.test, c@x.test");
}

TEST_F(MailReportTest, ManyRecipientsFoldTheToHeaderIntoShortLines) {
    START_SERVER(server);
    Tmailsetting mail = OpenMail();
    std::vector<std::string> expected;
    std::string sendto;
    for (int i = 0; i < 30; ++i) {
        expected.push_back("recipient" + std::to_string(i) + "@x.test");
        sendto += (i ? "," : "") + expected.back();
    }
    mail.sendto = sendto;
    EXPECT_EQ(SendMail(mail), "Successfully delivered");
    EXPECT_EQ(server.All("rcpt"), expected);
    const std::string data = server.One("data");
    std::string head = data.substr(0, data.find("\r\n\r\n"));
    std::istringstream lines(head);
    std::string line;
    while (std::getline(lines, line)) EXPECT_LE(line.size(), 79u) << line;
    std::string to = HeaderOf(data, "To");
    std::string joined;
    for (const std::string& r : expected) joined += (joined.empty() ? "" : ",") + r;
    to.erase(std::remove(to.begin(), to.end(), ' '), to.end());
    EXPECT_EQ(to, joined);
}

TEST_F(MailReportTest, AuthenticationOffSendsNoAuthCommand) {
    START_SERVER(server);
    for (bool withCredentials : {false, true}) {
        Tmailsetting mail = OpenMail();
        if (withCredentials) {  // stored credentials are not looked at when authentication is off
            mail.option1 = Base64Encode(kUser);
            mail.option2 = Base64Encode(kPassword);
        }
        EXPECT_EQ(SendMail(mail), "Successfully delivered");
    }
    std::vector<std::string> commands = server.All("cmd");
    EXPECT_FALSE(commands.empty());
    for (const std::string& c : commands) EXPECT_NE(c.rfind("AUTH", 0), 0u) << c;
    EXPECT_EQ(server.All("data").size(), 2u);
    EXPECT_TRUE(server.All("auth_login").empty());
}

TEST_F(MailReportTest, FallsBackToHeloWhenTheServerRefusesEhlo) {
    START_SERVER(server, "", "", true);
    EXPECT_EQ(SendMail(OpenMail()), "Successfully delivered");
    std::vector<std::string> commands = server.All("cmd");
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0].rfind("EHLO ", 0), 0u) << commands[0];
    EXPECT_EQ(commands[1], "HELO " + commands[0].substr(5));
    EXPECT_EQ(BodyOf(server.One("data")), "all hosts answer\r\n");
}

// ---- body lines ----------------------------------------------------------------------------

std::vector<std::string> CloseReportRows() {
    std::vector<AddressRow> rows = {
        {"127.0.0.1", "64", "0", "return data length:   12"},
        {"localhost", "64", "1", "return data length:   12"},
        {"198.18.0.2", "", "", ""},
    };
    std::vector<std::string> lines;
    for (const AddressRow& r : rows) lines.push_back(MainLogLine(r));
    return lines;
}

struct BodyCase {
    const char* name;
    std::string emailtext;
    std::vector<std::string> lines;  // the lines the message must carry, without line ends
};

std::vector<BodyCase> BodyCases() {
    std::vector<BodyCase> cases;
    // A report kept as comma text arrives as its lines, without the quotes and commas of the
    // stored form.
    cases.push_back({"memo", JoinCommaText({"word", "two words"}), {"word", "two words"}});
    cases.push_back({"quotes inside a line", JoinCommaText({"say \"hi\"", "x"}), {"say \"hi\"", "x"}});
    cases.push_back({"empty line among others", JoinCommaText({"a", "", "b c"}), {"a", "", "b c"}});
    // Three report rows: every MainLogLine has blanks and a closing CR; each row is one line.
    {
        std::vector<std::string> rows = CloseReportRows();
        std::vector<std::string> expected;
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(rows[i].back(), '\r');
            expected.push_back(rows[i].substr(0, rows[i].size() - 1));
        }
        // The rows as written by hand, so a change in the log line shows up here too.
        EXPECT_EQ(expected[0], "127.0.0.1_   TTL 64 Timeout 0  return data length:   12  ");
        EXPECT_EQ(expected[2], "198.18.0.2_   TTL  Timeout     ");
        cases.push_back({"close report", JoinCommaText(rows), expected});
    }
    // The user's own text is not comma text: its commas and quotes stay where they are.
    cases.push_back({"own text with a comma", "Hello, world\r\nsecond, line", {"Hello, world", "second, line"}});
    cases.push_back({"own text with quotes", "He said \"no\", twice", {"He said \"no\", twice"}});
    cases.push_back({"unclosed quote", "\"open,b", {"\"open,b"}});
    cases.push_back({"dots",
                     ".\r\n.leading dot\r\n..two dots\r\nend\r\n. \r\n.",
                     {".", ".leading dot", "..two dots", "end", ". ", "."}});
    cases.push_back({"bare LF, CR and CR LF", "one\ntwo\r\nthree\rfour", {"one", "two", "three", "four"}});
    cases.push_back({"empty lines kept", "a\r\n\r\n\nb\r\r", {"a", "", "", "b", ""}});
    cases.push_back({"closing break opens no line", "last\r\n", {"last"}});
    cases.push_back({"empty text", "", {}});
    return cases;
}

TEST_F(MailReportTest, BodyLinesArriveExactly) {
    START_SERVER(server);
    const std::vector<BodyCase> cases = BodyCases();
    for (const BodyCase& c : cases) {
        Tmailsetting mail = OpenMail();
        mail.emailtext = c.emailtext;
        EXPECT_EQ(SendMail(mail), "Successfully delivered") << c.name;
    }
    std::vector<std::string> data = server.All("data");
    ASSERT_EQ(data.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(BodyOf(data[i]), CrLfLines(cases[i].lines)) << cases[i].name;
        EXPECT_EQ(HeaderOf(data[i], "Content-Transfer-Encoding"), "7bit") << cases[i].name;
    }
}

// Text that cannot travel as seven-bit short lines is encoded; what the reader gets is unchanged.
TEST_F(MailReportTest, EightBitAndLongLinesArriveIntactQuotedPrintable) {
    START_SERVER(server);
    std::string longline;
    for (int i = 0; longline.size() < 3000; ++i)
        longline += "127.0.0.1  TTL 64 Timeout " + std::to_string(i) + ",";
    struct Case {
        const char* name;
        std::string text;
        std::string payload;
        std::string charset;
    };
    const std::vector<Case> cases = {
        {"long line", longline + "\r\n.dot", longline + "\r\n.dot\r\n", "utf-8"},
        {"utf-8",
         "Gr\xC3\xBC\xC3\x9F"
         "e\r\nzweite Zeile ",
         "Gr\xC3\xBC\xC3\x9F"
         "e\r\nzweite Zeile \r\n",
         "utf-8"},
        {"single-byte", "caf\xE9 = ok", "caf\xE9 = ok\r\n", "ISO-8859-1"},
        {"NUL byte", std::string("a\0b", 3), std::string("a\0b\r\n", 5), "utf-8"},
    };
    for (const Case& c : cases) {
        Tmailsetting mail = OpenMail();
        mail.emailtext = c.text;
        EXPECT_EQ(SendMail(mail), "Successfully delivered") << c.name;
    }
    std::vector<std::string> data = server.All("data");
    std::vector<std::string> payload = server.All("payload");
    ASSERT_EQ(data.size(), cases.size());
    ASSERT_EQ(payload.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(payload[i], cases[i].payload) << cases[i].name;
        EXPECT_EQ(HeaderOf(data[i], "Content-Transfer-Encoding"), "quoted-printable") << cases[i].name;
        EXPECT_EQ(HeaderOf(data[i], "Content-Type"), "text/plain; charset=" + cases[i].charset)
            << cases[i].name;
        std::istringstream lines(data[i]);
        std::string line;
        while (std::getline(lines, line)) {
            EXPECT_LE(line.size(), 79u) << cases[i].name;
            for (char ch : line) EXPECT_LT(static_cast<unsigned char>(ch), 0x80u) << cases[i].name;
        }
    }
}

TEST_F(MailReportTest, NonAsciiSubjectIsEncodedAndDecodesBack) {
    START_SERVER(server);
    const std::vector<std::string> subjects = {
        "Bericht \xC3\xBC"
        "ber St\xC3\xB6rungen",
        std::string(40, 'x') + " \xE2\x82\xAC " + std::string(120, 'y') + " \xF0\x9F\x93\x88 end",
        "literal =?utf-8?Q?x?= stays",
    };
    for (const std::string& s : subjects) {
        Tmailsetting mail = OpenMail();
        mail.subject = s;
        EXPECT_EQ(SendMail(mail), "Successfully delivered");
    }
    EXPECT_EQ(server.All("subject"), subjects);
    for (const std::string& data : server.All("data")) {
        std::string head = data.substr(0, data.find("\r\n\r\n"));
        for (char ch : head) EXPECT_LT(static_cast<unsigned char>(ch), 0x80u);
        std::istringstream lines(head);
        std::string line;
        while (std::getline(lines, line)) EXPECT_LE(line.size(), 79u) << line;
    }
}

TEST_F(MailReportTest, MessageIdsAreUniqueAndNameTheSenderDomainOrThisHost) {
    START_SERVER(server);
    Tmailsetting mail = OpenMail();
    EXPECT_EQ(SendMail(mail), "Successfully delivered");
    EXPECT_EQ(SendMail(mail), "Successfully delivered");
    mail.sendfrom = "monitor";  // no domain: the local host name stands in
    EXPECT_EQ(SendMail(mail), "Successfully delivered");
    std::vector<std::string> data = server.All("data");
    ASSERT_EQ(data.size(), 3u);
    std::set<std::string> ids;
    for (const std::string& d : data) ids.insert(HeaderOf(d, "Message-ID"));
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_TRUE(std::regex_match(HeaderOf(data[0], "Message-ID"), std::regex("<[0-9a-f.]+@x\\.test>")));
    std::string ehlo = server.All("cmd")[0].substr(5);
    EXPECT_EQ(HeaderOf(data[2], "Message-ID").substr(HeaderOf(data[2], "Message-ID").find('@')),
              "@" + ehlo + ">");
}

// ---- failures --------------------------------------------------------------------------------

TEST_F(MailReportTest, WrongPasswordGivesTheServersRefusal) {
    START_SERVER(server, kUser, kPassword);
    Tmailsetting mail = AuthMail();
    mail.option2 = Base64Encode("wrong");
    EXPECT_EQ(SendMail(mail), "535 5.7.8 Authentication credentials invalid");
    EXPECT_EQ(server.One("auth_pass"), "wrong");
    EXPECT_EQ(server.One("auth_result"), "fail");
    EXPECT_TRUE(server.All("mail_from").empty());
}

TEST_F(MailReportTest, MailWithoutLoginToAServerThatWantsOneGivesItsRefusal) {
    START_SERVER(server, kUser, kPassword);
    EXPECT_EQ(SendMail(OpenMail()), "530 5.7.0 Authentication required");
    EXPECT_TRUE(server.All("data").empty());
}

TEST_F(MailReportTest, NoServerListeningGivesTheConnectionError) {
    {
        START_SERVER(server);  // started and stopped: port 25 is surely free afterwards
        EXPECT_EQ(SendMail(OpenMail()), "Successfully delivered");
    }
    const std::string result = SendMail(OpenMail());
    EXPECT_EQ(result.rfind("Failed to connect to 127.0.0.1 port 25 after ", 0), 0u) << result;
    EXPECT_NE(result.find("Couldn't connect to server"), std::string::npos) << result;
    EXPECT_EQ(result.find_first_of("\r\n"), std::string::npos);
}

TEST_F(MailReportTest, EmptyFieldsAreReportedWithoutAConnection) {
    START_SERVER(server, kUser, kPassword);
    struct Case {
        const char* name;
        Tmailsetting mail;
        const char* result;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char* name, auto change, const char* result) {
        Tmailsetting m = AuthMail();
        change(m);
        cases.push_back({name, m, result});
    };
    add(
        "no server", [](Tmailsetting& m) { m = Tmailsetting{}; }, "SMTP server is empty");
    add(
        "no server, rest set", [](Tmailsetting& m) { m.smtpserver.clear(); }, "SMTP server is empty");
    add(
        "no user", [](Tmailsetting& m) { m.option1.clear(); }, "Authentication option is empty");
    add(
        "no password", [](Tmailsetting& m) { m.option2.clear(); }, "Authentication option is empty");
    add(
        "auth before sender",
        [](Tmailsetting& m) {
            m.option1.clear();
            m.sendfrom.clear();
            m.sendto.clear();
        },
        "Authentication option is empty");
    add(
        "user decodes to nothing", [](Tmailsetting& m) { m.option1 = "QQ"; },
        "Authentication option is empty");
    add(
        "no sender", [](Tmailsetting& m) { m.sendfrom.clear(); }, "Send from address is empty");
    add(
        "no sender, auth off, no credentials",
        [](Tmailsetting& m) {
            m.authentication = false;
            m.option1.clear();
            m.option2.clear();
            m.sendfrom.clear();
        },
        "Send from address is empty");
    add(
        "no recipient", [](Tmailsetting& m) { m.sendto.clear(); }, "sendto address is empty");
    add(
        "only commas and blanks", [](Tmailsetting& m) { m.sendto = " , ,"; }, "sendto address is empty");
    for (const Case& c : cases) {
        EXPECT_EQ(SendMail(c.mail), c.result) << c.name;
        EXPECT_TRUE(server.All("connect").empty()) << c.name;
    }
}

// An address that could end its path early (angle bracket, blank, control) would let the rest of
// the value add parameters to MAIL or RCPT; it is refused with the settings window's wording.
TEST_F(MailReportTest, AddressesThatCouldCarryCommandParametersAreRefused) {
    START_SERVER(server, kUser, kPassword);
    const struct {
        const char* name;
        bool sender;
        std::string value;
    } cases[] = {
        {"parameters smuggled into RCPT", false, "a@x> NOTIFY=SUCCESS ORCPT=rfc822;spy@x"},
        {"second recipient smuggles", false, "ok@x.test, a@x> NOTIFY=SUCCESS"},
        {"blank inside", false, "a b@x.test"},
        {"tab inside", false, "a\tb@x.test"},
        {"opening bracket", false, "<a@x.test"},
        {"closing bracket", false, "a@x.test>"},
        {"bracketed", false, "<a@x.test>"},
        {"escape byte", false, "a\x1b@x.test"},
        {"DEL byte", false, "a\x7f@x.test"},
        {"parameters smuggled into MAIL", true, "a@x> SIZE=1 BODY=8BITMIME"},
        {"sender with a blank", true, "me @x.test"},
        {"sender in brackets", true, "<me@x.test>"},
        {"two senders", true, "me@x.test,you@x.test"},
        {"sender with a control", true, "me\x01@x.test"},
    };
    for (const auto& c : cases) {
        Tmailsetting mail = AuthMail();
        (c.sender ? mail.sendfrom : mail.sendto) = c.value;
        EXPECT_EQ(SendMail(mail), c.sender ? "Wrong send address information" : "Wrong delivery address information")
            << c.name;
    }
    EXPECT_TRUE(server.All("connect").empty());
    EXPECT_TRUE(server.All("rcpt").empty());
}

TEST_F(MailReportTest, LineBreaksAndUnsafeServerNamesAreRefusedBeforeAnyConnection) {
    START_SERVER(server, kUser, kPassword);
    struct Case {
        const char* name;
        Tmailsetting mail;
        const char* result;
    };
    std::vector<Case> cases;
    auto add = [&cases](const char* name, auto change, const char* result) {
        Tmailsetting m = AuthMail();
        change(m);
        cases.push_back({name, m, result});
    };
    add(
        "sender with a command", [](Tmailsetting& m) { m.sendfrom = "x@y.test\r\nRCPT TO:<evil@z.test>"; },
        "Refused: line break in the sender address");
    add(
        "sender with NUL", [](Tmailsetting& m) { m.sendfrom = std::string("x@y.test\0evil", 13); },
        "Refused: NUL byte in the sender address");
    add(
        "subject with CR", [](Tmailsetting& m) { m.subject = "Report\rBcc: evil@z.test"; },
        "Refused: line break in the subject");
    add(
        "subject with LF", [](Tmailsetting& m) { m.subject = "Report\n\nforged body"; },
        "Refused: line break in the subject");
    add(
        "recipient with LF", [](Tmailsetting& m) { m.sendto = "a@x.test\nRCPT TO:<evil@z.test>"; },
        "Refused: line break in the recipient address");
    add(
        "second recipient with CR", [](Tmailsetting& m) { m.sendto = "a@x.test, b@x.test\r"; },
        "Refused: line break in the recipient address");
    add(
        "user with a line break", [](Tmailsetting& m) { m.option1 = Base64Encode("user\r\nQUIT"); },
        "Refused: line break in the user name");
    add(
        "password with NUL", [](Tmailsetting& m) { m.option2 = Base64Encode(std::string("pw\0x", 4)); },
        "Refused: NUL byte in the password");
    add(
        "server with CR LF", [](Tmailsetting& m) { m.smtpserver = "127.0.0.1\r\n"; },
        "Refused: line break in the SMTP server name");
    add(
        "server with a path", [](Tmailsetting& m) { m.smtpserver = "127.0.0.1/evil"; },
        "Refused: invalid character in the SMTP server name");
    add(
        "server with a user", [](Tmailsetting& m) { m.smtpserver = "evil:pw@127.0.0.1"; },
        "Refused: the SMTP server must be a host name or an IPv4 address (the port is always 25)");
    add(
        "server with @", [](Tmailsetting& m) { m.smtpserver = "evil@127.0.0.1"; },
        "Refused: invalid character in the SMTP server name");
    add(
        "server with a blank", [](Tmailsetting& m) { m.smtpserver = "127.0.0.1 "; },
        "Refused: invalid character in the SMTP server name");
    add(
        "server with a port", [](Tmailsetting& m) { m.smtpserver = "127.0.0.1:25"; },
        "Refused: the SMTP server must be a host name or an IPv4 address (the port is always 25)");
    add(
        "IPv6 literal", [](Tmailsetting& m) { m.smtpserver = "::1"; },
        "Refused: the SMTP server must be a host name or an IPv4 address (the port is always 25)");
    add(
        "bracketed IPv6", [](Tmailsetting& m) { m.smtpserver = "[::1]"; },
        "Refused: the SMTP server must be a host name or an IPv4 address (the port is always 25)");
    add(
        "server with a query", [](Tmailsetting& m) { m.smtpserver = "127.0.0.1?x#y"; },
        "Refused: invalid character in the SMTP server name");
    for (const Case& c : cases) {
        EXPECT_EQ(SendMail(c.mail), c.result) << c.name;
        EXPECT_TRUE(server.All("connect").empty()) << c.name;
    }
    // The same server takes a clean mail, so the refusals above were not a dead server.
    EXPECT_EQ(SendMail(AuthMail()), "Successfully delivered");
    EXPECT_EQ(server.All("connect").size(), 1u);
}

// Two mails at once from two threads: library start-up happens once and both arrive.
TEST_F(MailReportTest, ConcurrentSendsBothArrive) {
    START_SERVER(server);
    std::string results[2];
    std::thread a([&] {
        Tmailsetting m = OpenMail();
        m.emailtext = "first";
        results[0] = SendMail(m);
    });
    std::thread b([&] {
        Tmailsetting m = OpenMail();
        m.emailtext = "second";
        results[1] = SendMail(m);
    });
    a.join();
    b.join();
    EXPECT_EQ(results[0], "Successfully delivered");
    EXPECT_EQ(results[1], "Successfully delivered");
    std::multiset<std::string> bodies;
    for (const std::string& d : server.All("data")) bodies.insert(BodyOf(d));
    EXPECT_EQ(bodies, (std::multiset<std::string>{"first\r\n", "second\r\n"}));
}

}  // namespace
}  // namespace veltrin

namespace veltrin {
namespace {

// A server that takes the connection and never says a word: the client waits for its greeting.
class SilentServer {
public:
    explicit SilentServer(const char* host) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(25);
        inet_pton(AF_INET, host, &address.sin_addr);
        ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, 4) == 0;
    }
    ~SilentServer() {
        if (client_ >= 0) close(client_);
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    // Waits until the client connected (up to `ms`).
    bool Accept(int ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return false;
        client_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return client_ >= 0;
    }

private:
    int fd_ = -1;
    int client_ = -1;
    bool ok_ = false;
};

}  // namespace

// A close-sequence mail to a server that never answers can be given up: the send ends with
// "Sending was stopped" soon after the request, not with the client's time-out minutes later.
TEST_F(MailReportTest, SendToASilentServerCanBeStopped) {
    SilentServer server("127.0.0.1");
    ASSERT_TRUE(server.ok()) << std::strerror(errno);
    Tmailsetting mail = OpenMail();
    std::atomic<bool> cancel{false};
    std::string result;
    std::thread sender([&] { result = SendMail(mail, cancel); });
    const bool connected = server.Accept(20000);
    cancel = true;
    sender.join();
    EXPECT_TRUE(connected);
    EXPECT_EQ(result, "Sending was stopped");
    // Asked to stop before it starts, it never connects.
    EXPECT_EQ(SendMail(mail, cancel), "Sending was stopped");
    EXPECT_FALSE(server.Accept(200));
}

}  // namespace veltrin
