// The service unit and the Prometheus examples as their own tools read them: promtool checks
// the scrape configuration and the alert rules and runs the rules' unit test; systemd checks
// the unit (pointed at the built program).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testfiles.h"

extern char** environ;

namespace {

const std::string kSource = VELTRIN_SOURCE_DIR;

// Runs `args` in `folder`; the exit status, with stdout and stderr in `output`.
int RunTool(const std::vector<std::string>& args, const std::string& folder, std::string& output) {
    veltrin::testfiles::TempFolder out("packaging");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (out / "log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    output = veltrin::testfiles::ReadFile(out / "log");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define NEED(path) \
    if (::access(path, X_OK) != 0) GTEST_SKIP() << path << " is not installed"

TEST(Packaging, PrometheusExamplesPassPromtool) {
    NEED("/usr/bin/promtool");
    const std::string folder = kSource + "/docs/prometheus";
    std::string output;
    EXPECT_EQ(RunTool({"/usr/bin/promtool", "check", "config", "prometheus.yml"}, folder, output), 0) << output;
    EXPECT_EQ(RunTool({"/usr/bin/promtool", "check", "rules", "veltrin-ping.rules.yml"}, folder, output), 0) << output;
    // The alert rules fire for a silent address, for heavy loss and for a lost probe, and not before their time.
    EXPECT_EQ(RunTool({"/usr/bin/promtool", "test", "rules", "veltrin-ping.rules.test.yml"}, folder, output), 0) << output;
}

TEST(Packaging, ServiceUnitPassesSystemdsCheck) {
    NEED("/usr/bin/systemd-analyze");
    const std::string program = std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli";
    if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "veltrin-ping-cli is not built";
    std::string unit = veltrin::testfiles::ReadFile(kSource + "/packaging/veltrin-ping-cli.service");
    ASSERT_NE(unit.find("ExecStart=/usr/bin/veltrin-ping-cli "), std::string::npos);
    ASSERT_NE(unit.find("DynamicUser=yes"), std::string::npos);
    ASSERT_NE(unit.find("--metrics 127.0.0.1:"), std::string::npos);
    unit.replace(unit.find("/usr/bin/veltrin-ping-cli"), 25, program);
    veltrin::testfiles::TempFolder dir("unit");
    veltrin::testfiles::PutFile(dir / "veltrin-ping-cli.service", unit);
    std::string output;
    EXPECT_EQ(RunTool({"/usr/bin/systemd-analyze", "verify", "--man=no", dir / "veltrin-ping-cli.service"}, dir.path(), output), 0)
        << output;
    EXPECT_EQ(output.find("Unknown key"), std::string::npos) << output;
    EXPECT_EQ(output.find("nknown"), std::string::npos) << output;
}

TEST(Packaging, TheServiceCommandLineIsOneTheProgramTakes) {
    // The unit's own options, with the list replaced by loopback and a port that is free here, must parse.
    const std::string unit = veltrin::testfiles::ReadFile(kSource + "/packaging/veltrin-ping-cli.service");
    const auto start = unit.find("ExecStart=");
    ASSERT_NE(start, std::string::npos);
    const std::string line = unit.substr(start + 10, unit.find('\n', start) - start - 10);
    EXPECT_EQ(line, "/usr/bin/veltrin-ping-cli --metrics 127.0.0.1:9101 --format csv /etc/veltrin-ping/hosts.txt");
    const std::string program = std::string(VELTRIN_BINARY_DIR) + "/src/cli/veltrin-ping-cli";
    if (::access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "veltrin-ping-cli is not built";
    std::string output;
    // --help after the unit's options: parsed, then the usage, status 0.
    EXPECT_EQ(RunTool({program, "--metrics", "127.0.0.1:9101", "--format", "csv", "/etc/veltrin-ping/hosts.txt", "--help"}, "/",
                  output),
              0)
        << output;
}

}  // namespace
