// The test panel: finds the attached Kelvorn board, opens it by serial number, switches its three
// outputs, shows its eight lines as lamps every 100 ms and runs an eight-step output pattern.
// The window owns the board object; destroying the window closes an open board.
#pragma once

#include <QColor>
#include <QWidget>
#include <array>
#include <cstdint>
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

public slots:
    // The timer's handler: input lamps, output lamps, then one step of the pattern in test mode.
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

    std::unique_ptr<clsVostrel> oDevice;
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
};
