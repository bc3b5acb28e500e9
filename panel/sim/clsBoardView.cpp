#include "panel/sim/clsBoardView.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "device/clsVostrel.h"
#include "panel/clsLampBox.h"

namespace {

constexpr const auto& kOutputPins = clsVostrel::OutputPins;
constexpr const auto& kInputPins = clsVostrel::InputPins;

const QColor kLedLit(255, 128, 1);
const QColor kLedDark(64, 64, 64);

QString InputCaption(std::size_t Index, bool High) {
    return QStringLiteral("in %1\n%2")
        .arg(Index)
        .arg(High ? QStringLiteral("high") : QStringLiteral("low"));
}

}  // namespace

clsBoardView::clsBoardView(d2xx::SimDriver& Sim, d2xx::SimDriver::DeviceId Id, QWidget* Parent)
    : QGroupBox(Parent), oSim(Sim), lId(Id) {
    const d2xx::SimBoard& board = oSim.Board(lId);
    setTitle(QStringLiteral("%1   (%2)")
                 .arg(QString::fromLatin1(board.Serial.c_str()),
                      QString::fromLatin1(board.Description.c_str())));
    setObjectName(QStringLiteral("board%1").arg(lId));

    auto* column = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    chkPlugged = new QCheckBox(QStringLiteral("plugged in"), this);
    chkPlugged->setObjectName(QStringLiteral("chkPlugged"));
    chkBusy = new QCheckBox(QStringLiteral("held by another program"), this);
    chkBusy->setObjectName(QStringLiteral("chkBusy"));
    lblState = new QLabel(this);
    lblState->setObjectName(QStringLiteral("lblState"));
    top->addWidget(chkPlugged);
    top->addWidget(chkBusy);
    top->addStretch();
    top->addWidget(lblState);
    column->addLayout(top);

    // toggled rather than clicked: a screen reader's toggle action does not click.
    connect(chkPlugged, &QCheckBox::toggled, this, [this](bool On) {
        if (On)
            oSim.Plug(lId);
        else
            oSim.Unplug(lId);
        Refresh();
    });
    connect(chkBusy, &QCheckBox::toggled, this, [this](bool On) { oSim.SetBusy(lId, On); });

    if (board.Description == "Kelvorn") {
        auto* io = new QWidget(this);
        BuildIo(io);
        column->addWidget(io);
    }
    Refresh();
}

// Outputs on the left and inputs on the right, index 0 rightmost as on the panel.
void clsBoardView::BuildIo(QWidget* Row) {
    auto* grid = new QGridLayout(Row);
    grid->setContentsMargins(0, 0, 0, 0);
    for (std::size_t i = 0; i < ledOut.size(); ++i) {
        const int column = static_cast<int>(ledOut.size() - 1 - i);
        ledOut[i] = new clsLampBox(clsLampBox::Look::Lamp, Row);
        ledOut[i]->setObjectName(QStringLiteral("ledOut%1").arg(i));
        ledOut[i]->setEnabled(false);
        ledOut[i]->setFixedSize(18, 18);
        ledOut[i]->setToolTip(
            QStringLiteral("lit while %1 is driven low").arg(kOutputPins[i].Name));
        ledOut[i]->setAccessibleName(
            QStringLiteral("output %1 (%2) LED").arg(i).arg(kOutputPins[i].Name));
        grid->addWidget(ledOut[i], 0, column, Qt::AlignHCenter);
        grid->addWidget(new QLabel(QStringLiteral("out %1").arg(i), Row), 1, column,
                        Qt::AlignHCenter);
    }
    grid->setColumnMinimumWidth(static_cast<int>(ledOut.size()), 24);
    const std::uint8_t levels = oSim.Board(lId).InputLevels;
    for (std::size_t i = 0; i < cmdIn.size(); ++i) {
        const int column = static_cast<int>(ledOut.size() + cmdIn.size() - i);
        const bool high = (levels & kInputPins[i].Mask) != 0;
        cmdIn[i] = new QPushButton(InputCaption(i, high), Row);
        cmdIn[i]->setObjectName(QStringLiteral("cmdIn%1").arg(i));
        cmdIn[i]->setCheckable(true);
        cmdIn[i]->setChecked(!high);  // pressed = switch closed to ground
        cmdIn[i]->setToolTip(QStringLiteral("switch on %1").arg(kInputPins[i].Name));
        connect(cmdIn[i], &QPushButton::toggled, this, [this, i](bool Low) { SetInput(i, !Low); });
        grid->addWidget(cmdIn[i], 0, column, 2, 1);
    }
}

void clsBoardView::SetInput(std::size_t Index, bool High) {
    const std::uint8_t mask = kInputPins[Index].Mask;
    const std::uint8_t levels = oSim.Board(lId).InputLevels;
    oSim.SetInputLevels(lId, static_cast<std::uint8_t>(High ? levels | mask : levels & ~mask));
    cmdIn[Index]->setText(InputCaption(Index, High));
}

void clsBoardView::Refresh() {
    const bool plugged = oSim.Plugged(lId);
    {
        const QSignalBlocker quiet(chkPlugged), quietToo(chkBusy);  // showing, not acting
        chkPlugged->setChecked(plugged);
        chkBusy->setChecked(oSim.Board(lId).Busy);
    }
    lblState->setText(!plugged           ? QStringLiteral("unplugged")
                      : oSim.IsOpen(lId) ? QStringLiteral("open")
                                         : QStringLiteral("closed"));
    if (ledOut[0] == nullptr) return;
    const d2xx::SimDriver::Config& config = oSim.Settings(lId);
    const std::uint8_t pins = oSim.Pins(lId);
    for (std::size_t i = 0; i < ledOut.size(); ++i) {
        const std::uint8_t mask = kOutputPins[i].Mask;
        const bool driven = config.Mode == 1 && (config.Mask & mask) != 0;
        const bool lit = driven && (pins & mask) == 0;
        ledOut[i]->SetColour(lit ? kLedLit : kLedDark);
        ledOut[i]->SetValue(lit ? QStringLiteral("lit") : QStringLiteral("dark"));
    }
}
