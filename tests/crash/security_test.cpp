// Security basics of both programs: the logger's files are never
// world-writable, the adapter's udev rule grants group access only, neither
// program hands anything to a shell or starts programs, and the viewer opens
// files read-only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/common/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Security, LoggerFilesAreNotWorldWritableEvenUnderUmaskZero)
{
    ScratchDir scratch("security");
    const std::string& dir = scratch.path();
    std::ofstream(dir + "/bus.txt") << "timing off\nclock virtual\nsensor 10A1B2C3D4E5F6 21.5\n"
                                       "sensor 10112233445566 30\nfault leave 10112233445566 conversion=2\n"
                                       "fault terminate conversion=3\n";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        umask(0);
        int null = open("/dev/null", O_RDWR);
        if (chdir(dir.c_str()) != 0 || null < 0)
            _exit(127);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        std::string argv0 = dir + "/temp", device = "sim:" + dir + "/bus.txt";
        execl(TEMP_BINARY, argv0.c_str(), device.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    int checked = 0;
    for (const char* name : {"temp.pd", "tempu.tmp", "tempu.csv", "USBerr.txt"}) {
        struct stat info;
        ASSERT_EQ(stat((dir + "/" + name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & S_IWOTH, 0u) << name << " is world-writable";
        ++checked;
    }
    EXPECT_EQ(checked, 4);
}

TEST(Security, UdevRuleGrantsGroupAccessOnly)
{
    std::istringstream rules(ReadText(fs::path(TEMP_SOURCE_DIR) / "packaging/60-ds2490.rules"));
    std::string line;
    int ruleLines = 0;
    std::regex mode("MODE=\"(0?[0-7]{3})\""), group("GROUP=\"[a-z_][a-z0-9_-]*\"");
    while (std::getline(rules, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        ++ruleLines;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, mode)) << line;
        int bits = std::stoi(m[1].str(), nullptr, 8);
        EXPECT_EQ(bits & 07, 0) << "others get access: " << line;
        EXPECT_TRUE(std::regex_search(line, group)) << line;
    }
    EXPECT_GT(ruleLines, 0);
}

// Calls that would hand a path or file text to a shell or start a program,
// and (in the viewer) any way of opening a file for writing. The one write of
// the viewer is the chart's "Save CSV", to a file the user picks in a dialog.
TEST(Security, SourcesStartNoShellAndTheViewerOnlyReads)
{
    struct Rule {
        const char* folder;
        const char* pattern;
        const char* why;
        const char* exempt;  // a file name the rule does not apply to, or ""
    } rules[] = {
        {"", R"(\b(system|popen|exec[lv]p?e?|posix_spawnp?|fork)\s*\()", "starts a shell or program", ""},
        {"", R"(\bQProcess\b)", "starts a program", ""},
        {"viewer", R"(QIODevice::(WriteOnly|ReadWrite|Append|Truncate)|\bofstream\b|fopen\s*\([^;]*"[wa+])",
         "opens a file for writing", "karvix_chart.cpp"},
    };
    int scanned = 0;
    for (const char* folder : {"logger", "onewire", "simulator", "support", "viewer", "history", "probe"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(TEMP_SOURCE_DIR) / folder)) {
            std::string ext = entry.path().extension().string();
            if (ext != ".cpp" && ext != ".h")
                continue;
            ++scanned;
            std::string text = ReadText(entry.path());
            for (const Rule& rule : rules) {
                if ((*rule.folder && rule.folder != std::string(folder)) || entry.path().filename() == rule.exempt)
                    continue;
                std::smatch m;
                EXPECT_FALSE(std::regex_search(text, m, std::regex(rule.pattern)))
                    << entry.path() << " " << rule.why << ": " << m.str();
            }
        }
    }
    EXPECT_GT(scanned, 20);
}

}  // namespace
