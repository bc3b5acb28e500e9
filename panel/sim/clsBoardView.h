// One simulated FTDI device in the virtual board window: plug it in or out, mark it as held by
// another program, and, for a Kelvorn board, watch its three output LEDs and flip its five input
// switches.
#pragma once

#include <QGroupBox>
#include <array>

#include "d2xx/SimDriver.h"

class QCheckBox;
class QLabel;
class QPushButton;
class clsLampBox;

class clsBoardView : public QGroupBox {
    Q_OBJECT
public:
    clsBoardView(d2xx::SimDriver& Sim, d2xx::SimDriver::DeviceId Id, QWidget* Parent = nullptr);

    // Brings the view up to the simulator's state; cheap when nothing changed.
    void Refresh();

private:
    void BuildIo(QWidget* Row);
    void SetInput(std::size_t Index, bool High);

    d2xx::SimDriver& oSim;
    d2xx::SimDriver::DeviceId lId;
    QCheckBox* chkPlugged = nullptr;
    QCheckBox* chkBusy = nullptr;
    QLabel* lblState = nullptr;
    std::array<clsLampBox*, 3> ledOut{};
    std::array<QPushButton*, 5> cmdIn{};
};
