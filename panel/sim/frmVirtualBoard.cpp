#include "panel/sim/frmVirtualBoard.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "panel/sim/clsBoardView.h"

namespace {
constexpr int kRefreshMs = 50;  // twice the panel's poll rate, so no output step is missed
}

frmVirtualBoard::frmVirtualBoard(d2xx::SimDriver& Sim, QWidget* Parent)
    : QWidget(Parent), oSim(Sim) {
    setWindowTitle(QStringLiteral("Kelvorn virtual board"));
    auto* column = new QVBoxLayout(this);
    layDevices = new QVBoxLayout;
    column->addLayout(layDevices);

    auto* buttons = new QHBoxLayout;
    cmdAddBoard = new QPushButton(QStringLiteral("Add second board"), this);
    cmdAddBoard->setObjectName(QStringLiteral("cmdAddBoard"));
    cmdAddForeign = new QPushButton(QStringLiteral("Add foreign FTDI device"), this);
    cmdAddForeign->setObjectName(QStringLiteral("cmdAddForeign"));
    buttons->addWidget(cmdAddBoard);
    buttons->addWidget(cmdAddForeign);
    buttons->addStretch();
    column->addLayout(buttons);
    column->addStretch();

    connect(cmdAddBoard, &QPushButton::clicked, this, [this] {
        AddDevice("D4E5F6", "Kelvorn");
        cmdAddBoard->setEnabled(false);
    });
    connect(cmdAddForeign, &QPushButton::clicked, this, [this] {
        AddDevice("FT9Q7ZK1", "FT232R USB UART");
        cmdAddForeign->setEnabled(false);
    });

    AddDevice("A1B2C3", "Kelvorn");

    tmrRefresh = new QTimer(this);
    tmrRefresh->setInterval(kRefreshMs);
    connect(tmrRefresh, &QTimer::timeout, this, &frmVirtualBoard::Refresh);
    tmrRefresh->start();
}

void frmVirtualBoard::AddDevice(const char* Serial, const char* Description) {
    const d2xx::SimDriver::DeviceId id = oSim.Add({Serial, Description});
    auto* view = new clsBoardView(oSim, id, this);
    layDevices->addWidget(view);
    oViews.push_back(view);
}

void frmVirtualBoard::Refresh() {
    for (clsBoardView* view : oViews) view->Refresh();
}
