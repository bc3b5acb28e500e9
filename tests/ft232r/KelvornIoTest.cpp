// kelvorn-io, the program itself, run as a child process on emulated boards: umockdev's preload
// and testbed directory carry over to it, and this process's emulator answers its ioctls.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "EmulatedFt232r.h"

extern char** environ;

namespace ft232r {
namespace {

// A running kelvorn-io with its standard input, output and error on pipes, started with SIGINT
// and SIGTERM blocked, as a parent that blocks them may start it: it must let them through itself.
class Child {
public:
    explicit Child(std::vector<std::string> Args) {
        int pipes[3][2];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int i = 0; i < 3; ++i) {
            if (pipe2(pipes[i], O_CLOEXEC) != 0) throw std::runtime_error("pipe");
            posix_spawn_file_actions_adddup2(&actions, pipes[i][i == 0 ? 0 : 1], i);
        }
        Args.insert(Args.begin(), KELVORN_IO);
        std::vector<char*> argv;
        for (std::string& a : Args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGINT);
        sigaddset(&blocked, SIGTERM);
        posix_spawnattr_setsigmask(&attributes, &blocked);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        if (posix_spawn(&pid_, KELVORN_IO, &actions, &attributes, argv.data(), environ) != 0)
            throw std::runtime_error("posix_spawn");
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        for (int i = 0; i < 3; ++i) {
            close(pipes[i][i == 0 ? 0 : 1]);
            fds_[i] = pipes[i][i == 0 ? 1 : 0];
        }
    }
    ~Child() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        for (const int fd : fds_) close(fd);
    }

    // Writes Text to its standard input and closes that.
    void Input(const std::string& Text) {
        if (write(fds_[0], Text.data(), Text.size()) != static_cast<ssize_t>(Text.size()))
            throw std::runtime_error("write");
        close(std::exchange(fds_[0], -1));
    }
    // The next line on standard output, waiting up to 10 s; "" at its end or on timeout.
    std::string Line() {
        std::string line;
        char c = 0;
        pollfd p{fds_[1], POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && read(fds_[1], &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    // What /proc says of it: a line of its status, or its system call.
    std::string Proc(const char* File, const std::string& Line = "") const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/" + File);
        std::string text;
        while (std::getline(in, text) && !text.starts_with(Line)) {
        }
        return text;
    }
    void Signal(int Number) { kill(pid_, Number); }
    // Waits for the exit and returns its status, with the rest of the output in out and err.
    int Wait() {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds_[1], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
        while ((n = read(fds_[2], buffer, sizeof buffer)) > 0) err.append(buffer, size_t(n));
        int status = 0;
        waitpid(std::exchange(pid_, 0), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out;
    std::string err;

private:
    pid_t pid_ = 0;
    int fds_[3] = {-1, -1, -1};
};

// Waits up to 10 s for Condition; true as soon as it held once. Asked again, a condition on a
// running child (asleep in a 1 ms wait) may no longer hold.
bool Until(const std::function<bool()>& Condition) {
    for (int i = 0; i < 10000; ++i, usleep(1000))
        if (Condition()) return true;
    return false;
}

// SIGINT as Ctrl-C sends it: while run waits for its script on a standard input that stays open
// (a terminal), where it may arrive before the wait and must not be lost; in the wait of the last
// line; in expect ... within.
TEST(KelvornIoSignals, SigintStopsRunAndWatchWhereverItComes) {
    const std::string none = "expectations: 0 met, 0 failed\n";
    const struct {
        std::vector<std::string> Args;
        const char* Script;  // null: none, standard input left open
        int Status;
        std::string Err, Out;
    } runs[] = {
        {{"--sim", "run"}, nullptr, 1, "kelvorn-io: stopped before line 1\n", none},
        {{"--sim", "run"},
         "read\nwait 9223372036854s\n",
         1,
         "kelvorn-io: stopped at line 2\n",
         none},
        {{"--sim", "run"},
         "read\nexpect in3 low within 5s\n",
         1,
         "kelvorn-io: stopped at line 2\n",
         "stopped 2: in3 expected low, read high for "},
        {{"--sim", "watch", "--interval", "1"}, "", 0, "", ""},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.Script ? r.Script : "(pending)");
        Child child(r.Args);
        if (r.Script != nullptr) {
            child.Input(r.Script);
            EXPECT_NE(child.Line(), "");
            ASSERT_TRUE(Until([&] {  // then asleep in ppoll, not merely asking it for a stop
                const std::string stat = child.Proc("stat");
                return child.Proc("syscall").starts_with(std::to_string(SYS_ppoll) + " ") &&
                       stat[stat.rfind(") ") + 2] == 'S';
            }));
            child.Signal(SIGINT);
        } else {
            ASSERT_TRUE(Until([&] {  // its handler in place: SIGINT asks for a stop from now on
                const std::string caught = child.Proc("status", "SigCgt:");
                return (std::stoull(caught.substr(7), nullptr, 16) >> (SIGINT - 1) & 1) != 0;
            }));
            child.Signal(SIGINT);
        }
        EXPECT_EQ(child.Wait(), r.Status);
        EXPECT_EQ(child.err, r.Err);
        EXPECT_TRUE(child.out.starts_with(r.Out)) << child.out;
    }
}

class KelvornIoOnFt232r : public testing::Test {
protected:
    Testbed bed;
    EmulatedFt232r& adapter = bed.Add({.Serial = "FT9ZX01", .Description = "FT232R USB UART"});
    EmulatedFt232r& board = bed.Add({.Serial = "KV000042"});
};

// The adapter's serial given to --serial is refused too: only its EEPROM is read, as by list.
TEST_F(KelvornIoOnFt232r, ListAndTheAdaptersSerialLeaveBothDevicesBoundAndUnclaimed) {
    bed.Add({.Serial = "KV000043"}).SetBusy(true);  // another program's
    const std::string busy = "kelvorn-io: FTDI device 2 is held by another program: passed over\n";
    Child list({"list"});
    EXPECT_EQ(list.Wait(), 0) << list.err;
    EXPECT_EQ(list.out, "KV000042\n");
    EXPECT_EQ(list.err, busy);
    Child adapters({"-s", "FT9ZX01", "read"});
    EXPECT_EQ(adapters.Wait(), 3);
    EXPECT_EQ(adapters.err, busy +
                                "kelvorn-io: FTDI device FT9ZX01 is not a Kelvorn board (its "
                                "description is \"FT232R USB UART\"): left alone\n");
    for (auto* b : {&adapter, &board}) {
        EXPECT_TRUE(b->KernelDriverBound());
        EXPECT_FALSE(b->Claimed());
        EXPECT_EQ(b->ControlCount(request::ReadEeprom), b->Log().size());
    }
}

TEST_F(KelvornIoOnFt232r, ReadWritesAllOutputsOffReadsThePinsOnceAndGivesTheBoardBack) {
    board.SetInputs(static_cast<std::uint8_t>(0xFF & ~0x08));  // input 1 (D3) low
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"read", "--json"}, {"-s", "KV000042", "read", "--json"}}) {
        board.ClearLog();
        Child read(args);
        EXPECT_EQ(read.Wait(), 0) << read.err;
        EXPECT_EQ(read.out, "{\"inputs\":[true,false,true,true,true]}\n");
        EXPECT_EQ(board.BulkOutBytes(), std::vector<std::uint8_t>{0x15});
        EXPECT_EQ(board.ControlCount(request::ReadPins), 1u);
        // The scan's 19 EEPROM words, connect's 17 transfers, one write, one pin read: no more.
        EXPECT_EQ(board.Log().size(), 19u + 17u + 1u + 1u);
        EXPECT_TRUE(board.KernelDriverBound());
        EXPECT_TRUE(bed.WaitUntilAllClosed(5000));
    }
}

TEST_F(KelvornIoOnFt232r, WatchPrintsChangesAndOnSigtermClosesTheBoardWithStatusZero) {
    Child watch({"-s", "KV000042", "watch", "--interval", "1"});
    EXPECT_EQ(watch.Line(), "0.000 in0=high in1=high in2=high in3=high in4=high");
    EXPECT_TRUE(board.Claimed());
    EXPECT_FALSE(board.KernelDriverBound());
    board.SetInputs(static_cast<std::uint8_t>(0xFF & ~0x02));  // input 4 (D1) low
    EXPECT_TRUE(watch.Line().ends_with(" in0=high in1=high in2=high in3=high in4=low"));
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(), 0) << watch.err;
    EXPECT_EQ(watch.err, "");
    EXPECT_FALSE(board.Claimed());
    EXPECT_TRUE(board.KernelDriverBound()) << "its ttyUSB comes back";
}

}  // namespace
}  // namespace ft232r
