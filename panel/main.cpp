// kelvorn-panel: the test panel on the boards attached to this machine, or with --mqtt on the
// boards behind kelvorn-mqtt bridges.
#include <QApplication>
#include <cstdio>
#include <memory>
#include <optional>

#include "d2xx/LibftdiDriver.h"
#include "panel/BridgedBoards.h"
#include "panel/CommandLine.h"
#include "panel/frmTest.h"

int main(int argc, char** argv) {
    const bool display = commandline::PrepareDisplay(argc, argv, "kelvorn-panel");
    QApplication app(argc, argv);
    commandline::Remote wants;
    if (const auto status = commandline::Handle(
            display, "The test panel for the Kelvorn USB I/O boards attached to this machine.",
            &wants))
        return *status;
    std::unique_ptr<d2xx::Driver> driver;
    std::optional<frmTest::Network> network;
    if (wants.Url.empty()) {
        driver = std::make_unique<d2xx::LibftdiDriver>();
    } else {
        auto remote = kmqtt::ParseRemote(wants.Url, wants.PasswordFile, wants.CaFile,
                                         "kelvorn-panel");
        if (const auto* why = std::get_if<std::string>(&remote)) {
            std::fprintf(stderr, "kelvorn-panel: %s\n", why->c_str());
            return 2;
        }
        const auto& where = std::get<kmqtt::Remote>(remote);
        auto bridged = std::make_unique<kmqtt::MqttDriver>(where);
        // A broker out of reach opens the window as on a machine without a board, and the entry
        // says why; the connection keeps trying, and Read finds the boards once it answers.
        bridged->Start();
        network = NetworkOf(*bridged, where);
        driver = std::move(bridged);
    }
    frmTest panel(*driver);
    if (network) panel.SetNetwork(std::move(*network));
    panel.show();
    return app.exec();
}
