// The test panel: finds the attached Kelvorn board, opens it by serial number, switches its three
// outputs, shows its eight lines as lamps every 100 ms and runs an eight-step output pattern.
// The window owns the board object; destroying the window closes an open board.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "d2xx/d2xx.h"

class QGroupBox;
class QLineEdit;
class QPushButton;
class QTimer;
class clsLampBox;
class clsVostrel;

class frmTest : public QWidget {
    Q_OBJECT
public:
    // The driver must outlive the window. Nothing touches the board until the operator acts.
    explicit frmTest(d2xx::Driver& Driver, QWidget* Parent = nullptr);
    ~frmTest() override;

    bool TestMode() const { return bTestMode; }
    std::int16_t TestStep() const { return iTestStep; }

    // Boards reached through a broker rather than on this machine's USB. The serial entry's
    // tooltip and accessible description then say where they are (the broker, the bridge of
    // the board in the entry) and, while the broker is out of reach, why, so that an empty Read
    // is not taken for no board at all; the empty entry then also says so in grey. After an
    // empty Read the driver's Absent("") is said there alike (no bridge under that prefix).
    struct Network {
        QString Broker;  // as the operator named it: "broker.lan:1883"
        // Why the broker is out of reach now, in one line; "" while it answers. Asked twice a
        // second, on the UI thread: it must not wait.
        std::function<QString()> Unreachable;
        // The name of the bridge holding the board with this serial; "" when it is not named.
        std::function<QString(const QString& Serial)> BridgeOf;
    };
    void SetNetwork(Network Where);

public slots:
    // The timer's handler: input lamps, output lamps, then one step of the pattern in test mode.
    // It also asks the driver whether this user may switch the board (Driver::Refused): while
    // not, the output boxes and Test are disabled, their tooltips and accessible descriptions
    // giving the driver's line, and the pattern stops. While the board does not answer, why
    // (the broker, the driver's Absent, or just that) goes on the output boxes, the input group
    // and the entry alike; a shared board's boxes keep the outputs it last reported.
    void Tick();

protected:
    void changeEvent(QEvent* Event) override;

private:
    void BuildControls();
    void PlaceControls();
    void SetTabOrder();

    void txtSerNo_Change(const QString& Text);
    void cmdSerialConnect_Click();
    void chkOut_Click(std::int16_t Index);
    void cmdTest_Click();
    void cmdReadSerial_Click();
    // A shared board's outputs, which other programs switch too: the latch and the boxes take
    // what the board reports. False when its pins could not be read.
    bool FollowSharedOutputs();
    void ShowNetwork();
    // Applies the driver's Refused for the open board; true while it refuses.
    bool ShowRefused();
    void ShowSilent(const QString& Why);
    QString NotAnswering() const;
    void ShowWhy();

    d2xx::Driver& oDriver;
    std::unique_ptr<clsVostrel> oDevice;
    const bool bShared;  // d2xx::Driver::Shared: boards behind a bridge
    Network oNetwork;
    // Lines from the driver and the network, shown as plain text wherever they appear; "" while
    // there is nothing to say.
    QString sRefused;         // why this user may not switch the open board
    QString sSilent;          // why the open board does not answer
    QString sWhere;           // what the entry says of the network, as last shown
    bool bEmptyRead = false;  // the last Read found no board
    bool bTestMode = false;
    std::int16_t iTestStep = 0;
    // The button face colour, kept because asking the palette each tick costs more than the rest
    // of the tick together while the window is not the active one.
    QColor oFace;

    QGroupBox* Frame4 = nullptr;
    QLineEdit* txtSerNo = nullptr;
    QPushButton* cmdReadSerial = nullptr;
    QPushButton* cmdSerialConnect = nullptr;
    QGroupBox* fraOutputs = nullptr;
    std::array<clsLampBox*, 3> chkOut{};
    QPushButton* cmdTest = nullptr;
    QGroupBox* fraInputs = nullptr;
    std::array<clsLampBox*, 5> chkIn{};
    QTimer* tmr = nullptr;
    QTimer* tmrNetwork = nullptr;  // refreshes what the entry says of the network
};
