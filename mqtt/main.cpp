// kelvorn-mqtt: the Kelvorn boards of this machine on an MQTT broker. This picks the driver and
// sets up the signals; the bridge is kmqtt::Bridge.
#include <mosquitto.h>
#include <signal.h>

#include <exception>
#include <iostream>
#include <memory>

#include "d2xx/LibftdiDriver.h"
#include "d2xx/SimDriver.h"
#include "device/Board.h"
#include "mqtt/Bridge.h"
#include "mqtt/Options.h"

int main(int argc, char** argv) {
    kmqtt::Options opt;
    if (const auto status = kmqtt::ParseOptions(argc, argv, opt, std::cout, std::cerr))
        return *status;

    signal(SIGPIPE, SIG_IGN);  // a broken connection is a failed write, not the end
    // No board is touched, and a signal may end it as it comes.
    if (!opt.Forget.empty() || !opt.ForgetBridges.empty()) {
        mosquitto_lib_init();
        int status = 1;
        try {
            status = kmqtt::Forget(opt, std::cerr);
        } catch (const std::exception& e) {
            std::cerr << "kelvorn-mqtt: " << e.what() << '\n';
        }
        mosquitto_lib_cleanup();
        return status;
    }

    // SIGINT and SIGTERM end the bridge's loop through a signalfd: blocked here, before any
    // thread starts, so that every thread inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    std::unique_ptr<d2xx::Driver> driver;
    if (opt.Sim) {
        auto sim = std::make_unique<d2xx::SimDriver>();
        if (opt.SimSerials.empty()) opt.SimSerials = {"A1B2C3", "D4E5F6"};
        for (const std::string& serial : opt.SimSerials) sim->Add(kelvorn::WiredSimBoard(serial));
        driver = std::move(sim);
    } else {
        driver = std::make_unique<d2xx::LibftdiDriver>();
    }
    mosquitto_lib_init();
    int status = 1;
    try {
        kmqtt::Bridge bridge(opt, *driver, std::cerr);
        status = bridge.Run();
    } catch (const std::exception& e) {
        std::cerr << "kelvorn-mqtt: " << e.what() << '\n';
    }
    mosquitto_lib_cleanup();
    return status;
}
