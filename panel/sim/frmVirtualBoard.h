// The demo's second window: the simulated devices the panel sees. It starts with one Kelvorn
// board and can add a second board and a foreign FTDI device, so that every panel flow, a Read
// stepping through two boards included, can be tried without hardware. Closing it ends the
// program, and so does closing the panel: the board is no use alone, nor the panel without it.
#pragma once

#include <QWidget>
#include <vector>

#include "d2xx/SimDriver.h"

class QPushButton;
class QTimer;
class QVBoxLayout;
class clsBoardView;

class frmVirtualBoard : public QWidget {
    Q_OBJECT
public:
    explicit frmVirtualBoard(d2xx::SimDriver& Sim, QWidget* Parent = nullptr);

    // Moves the window next to Other: right of it, else left, below or above, whichever is first
    // to leave Other uncovered; if none does, as near to the right of it as fits. Always wholly
    // inside the available area of Other's screen (shrunk to that area if larger). Call after
    // Other is shown.
    void PlaceBeside(const QWidget& Other);

    // Shows the window beside Other once Other is on screen: under a window manager Other's
    // place and frame are known only then.
    void ShowBeside(QWidget& Other);

public slots:
    // Follows the simulator: LEDs, plugged and open states.
    void Refresh();

protected:
    void closeEvent(QCloseEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void AddDevice(const char* Serial, const char* Description);

    d2xx::SimDriver& oSim;
    QVBoxLayout* layDevices = nullptr;
    QPushButton* cmdAddBoard = nullptr;
    QPushButton* cmdAddForeign = nullptr;
    std::vector<clsBoardView*> oViews;
    QTimer* tmrRefresh = nullptr;
    QWidget* oBeside = nullptr;  // the window to show beside once it is exposed
};
