// kelvorn-io, the program itself, run as a child process on emulated boards: umockdev's preload
// and testbed directory carry over to it, and this process's emulator answers its ioctls.
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "EmulatedFt232r.h"

extern char** environ;

namespace ft232r {
namespace {

// A running kelvorn-io with its standard output and error on pipes.
class Child {
public:
    explicit Child(std::vector<std::string> Args) {
        int pipes[2][2];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int i = 0; i < 2; ++i) {
            if (pipe(pipes[i]) != 0) throw std::runtime_error("pipe");
            posix_spawn_file_actions_adddup2(&actions, pipes[i][1], i + 1);
        }
        Args.insert(Args.begin(), KELVORN_IO);
        std::vector<char*> argv;
        for (std::string& a : Args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, KELVORN_IO, &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("posix_spawn");
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 2; ++i) {
            close(pipes[i][1]);
            fds_[i] = pipes[i][0];
        }
    }
    ~Child() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
        for (const int fd : fds_) close(fd);
    }

    // The next line on standard output, waiting up to 10 s; "" at its end or on timeout.
    std::string Line() {
        std::string line;
        char c = 0;
        pollfd p{fds_[0], POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && read(fds_[0], &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    void Signal(int Number) { kill(pid_, Number); }
    // Waits for the exit and returns its status, with the rest of the output in out and err.
    int Wait() {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
        while ((n = read(fds_[1], buffer, sizeof buffer)) > 0) err.append(buffer, size_t(n));
        int status = 0;
        waitpid(std::exchange(pid_, 0), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out;
    std::string err;

private:
    pid_t pid_ = 0;
    int fds_[2] = {-1, -1};
};

class KelvornIoOnFt232r : public testing::Test {
protected:
    Testbed bed;
    EmulatedFt232r& adapter = bed.Add({.Serial = "FT9ZX01", .Description = "FT232R USB UART"});
    EmulatedFt232r& board = bed.Add({.Serial = "KV000042"});
};

TEST_F(KelvornIoOnFt232r, ListNamesTheBoardAndLeavesBothDevicesBoundAndUnclaimed) {
    bed.Add({.Serial = "KV000043"}).SetBusy(true);  // another program's
    Child list({"list"});
    EXPECT_EQ(list.Wait(), 0) << list.err;
    EXPECT_EQ(list.out, "KV000042\n");
    EXPECT_EQ(list.err, "kelvorn-io: FTDI device 2 is held by another program: passed over\n");
    for (auto* b : {&adapter, &board}) {
        EXPECT_TRUE(b->KernelDriverBound());
        EXPECT_FALSE(b->Claimed());
        EXPECT_EQ(b->BulkOutCount(), 0u);
    }
}

TEST_F(KelvornIoOnFt232r, ReadWritesAllOutputsOffReadsThePinsOnceAndGivesTheBoardBack) {
    board.SetInputs(static_cast<std::uint8_t>(0xFF & ~0x08));  // input 1 (D3) low
    Child read({"read", "--json"});
    EXPECT_EQ(read.Wait(), 0) << read.err;
    EXPECT_EQ(read.out, "{\"inputs\":[true,false,true,true,true]}\n");
    EXPECT_EQ(board.BulkOutBytes(), std::vector<std::uint8_t>{0x15});
    EXPECT_EQ(board.ControlCount(request::ReadPins), 1u);
    // The scan's 19 EEPROM words, connect's 17 transfers, one write, one pin read: nothing more.
    EXPECT_EQ(board.Log().size(), 19u + 17u + 1u + 1u);
    EXPECT_TRUE(board.KernelDriverBound());
    EXPECT_TRUE(bed.WaitUntilAllClosed(5000));
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
