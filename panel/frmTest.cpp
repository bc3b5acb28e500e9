#include "panel/frmTest.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "device/clsVostrel.h"
#include "panel/KelvornIcon.h"
#include "panel/clsLampAccessible.h"
#include "panel/clsLampBox.h"

namespace {

const QColor kInputLow(0, 0, 255);
const QColor kOutputOn(255, 128, 1);
constexpr int kTickMs = 100;
constexpr int kNetworkMs = 500;

// What a lamp shows, in words for screen readers.
const QString kHigh = QStringLiteral("high");
const QString kLow = QStringLiteral("low");
const QString kNoReading = QStringLiteral("no reading");
const QString kOn = QStringLiteral("on");
const QString kOff = QStringLiteral("off");

// Outputs 0, 1, 2 per step, true = on: fill from output 0, hold, empty from output 0, hold.
constexpr std::array<std::array<bool, 3>, 8> kPattern{{
    {false, false, false},
    {true, false, false},
    {true, true, false},
    {true, true, true},
    {true, true, true},
    {false, true, true},
    {false, false, true},
    {false, false, false},
}};

// The layout in pixels at 96 dpi for an 8-point system font; scaled up when the font needs more.
constexpr QSize kClient(301, 110);
constexpr QRect kFrame4(8, 8, 285, 41);
constexpr QRect kSerNo(8, 12, 113, 21);
constexpr QRect kReadSerial(144, 12, 57, 25);
constexpr QRect kSerialConnect(216, 12, 61, 25);
constexpr QRect kOutputs(12, 60, 81, 41);
constexpr QRect kTest(104, 68, 45, 29);
constexpr QRect kInputs(160, 60, 133, 41);
constexpr int kOutLeft = 56, kOutTop = 12, kOutStep = 24, kOutSize = 21;  // index 0 at the right
constexpr int kInLeft = 108, kInTop = 16, kInStep = 24, kInSize = 13;
constexpr int kLayoutLineHeight = 13;  // one text line of the font the layout was drawn for
constexpr int kFrameGap = 2;           // title to frame line, and the line itself
constexpr int kSerialChars = 16;       // longest serial an FT232R EEPROM holds

// Serial strings are the EEPROM's bytes; Latin-1 maps each byte to one character and back.
QString FromBoard(const std::string& Text) {
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}
std::string ToBoard(const QString& Text) { return Text.toLatin1().toStdString(); }

// Qt shows a tooltip as rich text whenever Qt::mightBeRichText says so, and a bridge's name, a
// serial or a driver's line is whatever someone on the network made it: text that would pass for
// markup goes escaped, inside markup of the panel's own that keeps its lines and spaces.
void SetPlainToolTip(QWidget* Control, const QString& Text) {
    Control->setToolTip(!Qt::mightBeRichText(Text)
                            ? Text
                            : QStringLiteral("<p style=\"white-space:pre\">") +
                                  Text.toHtmlEscaped() + QStringLiteral("</p>"));
}

// The non-empty ones of Lines, one a line.
QString Lines(std::initializer_list<QString> Lines) {
    QStringList kept;
    for (const QString& line : Lines)
        if (!line.isEmpty()) kept << line;
    return kept.join(QLatin1Char('\n'));
}

QString OutputName(std::size_t Index) {
    return QStringLiteral("output %1 (%2)").arg(Index).arg(clsVostrel::OutputPins[Index].Name);
}

QRect Scaled(const QRect& R, double Scale) {
    return QRect(static_cast<int>(std::lround(R.x() * Scale)),
                 static_cast<int>(std::lround(R.y() * Scale)),
                 static_cast<int>(std::lround(R.width() * Scale)),
                 static_cast<int>(std::lround(R.height() * Scale)));
}

// Height the style gives a group's title, from the group's top edge.
int TitleHeight(const QGroupBox* Group) {
    QStyleOptionGroupBox option;
    option.initFrom(Group);
    option.text = Group->title();
    return Group->style()
               ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, Group)
               .bottom() +
           1;
}

}  // namespace

frmTest::frmTest(d2xx::Driver& Driver, QWidget* Parent)
    : QWidget(Parent),
      oDriver(Driver),
      oDevice(std::make_unique<clsVostrel>(Driver)),
      bShared(Driver.Shared()) {
    setWindowTitle(QStringLiteral("  Kelvorn"));
    setWindowIcon(KelvornIcon());
    oFace = palette().color(QPalette::Active, QPalette::Button);
    BuildControls();
    PlaceControls();
    SetTabOrder();
}

frmTest::~frmTest() = default;

void frmTest::BuildControls() {
    clsLampAccessible::Install();
    Frame4 = new QGroupBox(this);
    txtSerNo = new QLineEdit(Frame4);
    txtSerNo->setReadOnly(true);  // filled from the board only, so connect never opens a second
    txtSerNo->setAccessibleName(QStringLiteral("serial number"));
    cmdReadSerial = new QPushButton(QStringLiteral("Read"), Frame4);
    cmdSerialConnect = new QPushButton(QStringLiteral("connect"), Frame4);
    cmdSerialConnect->setEnabled(false);

    fraOutputs = new QGroupBox(QStringLiteral("outputs"), this);
    fraOutputs->setEnabled(false);
    for (std::size_t i = 0; i < chkOut.size(); ++i) {
        chkOut[i] = new clsLampBox(clsLampBox::Look::CheckBox, fraOutputs);
        const auto index = static_cast<std::int16_t>(i);
        connect(chkOut[i], &QCheckBox::clicked, this, [this, index] { chkOut_Click(index); });
        chkOut[i]->setAccessibleName(OutputName(i));
        chkOut[i]->setToolTip(OutputName(i));
        chkOut[i]->SetValue(kOff);
    }
    cmdTest = new QPushButton(QStringLiteral("Test"), this);
    cmdTest->setEnabled(false);
    cmdTest->setCheckable(true);  // shows the test mode: pressed while it is on

    fraInputs = new QGroupBox(QStringLiteral("inputs"), this);
    fraInputs->setEnabled(false);
    for (std::size_t i = 0; i < chkIn.size(); ++i) {
        chkIn[i] = new clsLampBox(clsLampBox::Look::Lamp, fraInputs);
        chkIn[i]->setEnabled(false);
        // Blue, yet nothing has been read: marked until a tick reads the pins.
        chkIn[i]->SetColour(kInputLow);
        chkIn[i]->SetMark(!oDevice->LastReadOk());
        chkIn[i]->SetValue(oDevice->LastReadOk() ? kLow : kNoReading);
        const QString what =
            QStringLiteral("input %1 (%2)").arg(i).arg(clsVostrel::InputPins[i].Name);
        chkIn[i]->setAccessibleName(what);
        chkIn[i]->setToolTip(what);
    }

    // The captions stay as they are, so the keys are shortcuts rather than "&" mnemonics. A
    // button's shortcut does nothing while the button is disabled.
    cmdReadSerial->setShortcut(QKeySequence(Qt::ALT | Qt::Key_R));
    cmdSerialConnect->setShortcut(QKeySequence(Qt::ALT | Qt::Key_C));
    cmdTest->setShortcut(QKeySequence(Qt::ALT | Qt::Key_T));

    tmr = new QTimer(this);
    tmr->setInterval(kTickMs);
    tmrNetwork = new QTimer(this);
    tmrNetwork->setInterval(kNetworkMs);

    Frame4->setObjectName(QStringLiteral("Frame4"));
    txtSerNo->setObjectName(QStringLiteral("txtSerNo"));
    cmdReadSerial->setObjectName(QStringLiteral("cmdReadSerial"));
    cmdSerialConnect->setObjectName(QStringLiteral("cmdSerialConnect"));
    fraOutputs->setObjectName(QStringLiteral("fraOutputs"));
    cmdTest->setObjectName(QStringLiteral("cmdTest"));
    fraInputs->setObjectName(QStringLiteral("fraInputs"));
    tmr->setObjectName(QStringLiteral("tmr"));
    for (std::size_t i = 0; i < chkOut.size(); ++i)
        chkOut[i]->setObjectName(QStringLiteral("chkOut%1").arg(i));
    for (std::size_t i = 0; i < chkIn.size(); ++i)
        chkIn[i]->setObjectName(QStringLiteral("chkIn%1").arg(i));

    connect(txtSerNo, &QLineEdit::textChanged, this, &frmTest::txtSerNo_Change);
    connect(cmdSerialConnect, &QPushButton::clicked, this, &frmTest::cmdSerialConnect_Click);
    connect(cmdTest, &QPushButton::clicked, this, &frmTest::cmdTest_Click);
    connect(cmdReadSerial, &QPushButton::clicked, this, &frmTest::cmdReadSerial_Click);
    connect(tmr, &QTimer::timeout, this, &frmTest::Tick);
    connect(tmrNetwork, &QTimer::timeout, this, &frmTest::ShowNetwork);
}

// Keeps the drawn arrangement and proportions, enlarged so that the font's captions fit.
void frmTest::PlaceControls() {
    const QFontMetrics fm(font());
    const int pad = 2 * (style()->pixelMetric(QStyle::PM_ButtonMargin) +
                         style()->pixelMetric(QStyle::PM_DefaultFrameWidth));
    double scale = std::max(1.0, static_cast<double>(fm.height()) / kLayoutLineHeight);
    // The style draws a group's title above its frame line; the boxes go below that line.
    scale = std::max(scale, static_cast<double>(TitleHeight(fraOutputs) + kFrameGap) / kOutTop);
    const auto fit = [&](const QString& Text, int Width, int Padding) {
        scale = std::max(scale, static_cast<double>(fm.horizontalAdvance(Text) + Padding) / Width);
    };
    fit(cmdReadSerial->text(), kReadSerial.width(), pad);
    fit(cmdSerialConnect->text(), kSerialConnect.width(), pad);
    fit(cmdTest->text(), kTest.width(), pad);
    fit(QString(kSerialChars, QLatin1Char('0')), kSerNo.width(), pad);
    fit(fraOutputs->title(), kOutputs.width(), 2 * fm.averageCharWidth() + pad);
    fit(fraInputs->title(), kInputs.width(), 2 * fm.averageCharWidth() + pad);

    setFixedSize(static_cast<int>(std::lround(kClient.width() * scale)),
                 static_cast<int>(std::lround(kClient.height() * scale)));
    Frame4->setGeometry(Scaled(kFrame4, scale));
    txtSerNo->setGeometry(Scaled(kSerNo, scale));
    cmdReadSerial->setGeometry(Scaled(kReadSerial, scale));
    cmdSerialConnect->setGeometry(Scaled(kSerialConnect, scale));
    fraOutputs->setGeometry(Scaled(kOutputs, scale));
    cmdTest->setGeometry(Scaled(kTest, scale));
    fraInputs->setGeometry(Scaled(kInputs, scale));
    for (std::size_t i = 0; i < chkOut.size(); ++i) {
        const int left = kOutLeft - static_cast<int>(i) * kOutStep;
        chkOut[i]->setGeometry(Scaled(QRect(left, kOutTop, kOutSize, kOutSize), scale));
    }
    for (std::size_t i = 0; i < chkIn.size(); ++i) {
        const int left = kInLeft - static_cast<int>(i) * kInStep;
        chkIn[i]->setGeometry(Scaled(QRect(left, kInTop, kInSize, kInSize), scale));
    }
}

// Group boxes take no focus; every other control keeps its place in the tab sequence. The lamps
// are always disabled, so tabbing passes them by.
void frmTest::SetTabOrder() {
    const std::initializer_list<QWidget*> order{
        chkOut[0], chkOut[1], chkOut[2],        chkIn[0], chkIn[1],      chkIn[2],
        chkIn[3],  cmdTest,   cmdSerialConnect, txtSerNo, cmdReadSerial, chkIn[4]};
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (previous != nullptr) setTabOrder(previous, w);
        previous = w;
    }
}

void frmTest::txtSerNo_Change(const QString& Text) {
    cmdSerialConnect->setEnabled(!Text.isEmpty());
    if (tmrNetwork->isActive()) ShowNetwork();  // the bridge of the board now in the entry
}

void frmTest::SetNetwork(Network Where) {
    oNetwork = std::move(Where);
    ShowNetwork();
    tmrNetwork->start();
}

void frmTest::ShowNetwork() {
    const QString serial = txtSerNo->text();
    const QString bridge = serial.isEmpty() ? QString() : oNetwork.BridgeOf(serial);
    QString where =
        serial.isEmpty()
            ? QStringLiteral("boards behind the bridges on broker %1").arg(oNetwork.Broker)
        : bridge.isEmpty() ? QStringLiteral("board %1 on broker %2").arg(serial, oNetwork.Broker)
                           : QStringLiteral("board %1 behind bridge %2 on broker %3")
                                 .arg(serial, bridge, oNetwork.Broker);
    const QString why = oNetwork.Unreachable();
    // After an empty Read, what the driver knows of no board at all: a prefix nobody publishes
    // under says more than an empty entry.
    const QString none = !why.isEmpty() || !serial.isEmpty() || !bEmptyRead
                             ? QString()
                             : QString::fromStdString(oDriver.Absent({}));
    if (!why.isEmpty())
        where += QStringLiteral("\nbroker out of reach: %1; trying again").arg(why);
    else
        where = Lines({where, sSilent, none});
    txtSerNo->setPlaceholderText(!why.isEmpty() ? QStringLiteral("broker out of reach") : none);
    if (sWhere == where) return;
    sWhere = where;
    SetPlainToolTip(txtSerNo, where);
    txtSerNo->setAccessibleDescription(where);
}

void frmTest::cmdSerialConnect_Click() {
    if (!oDevice->Connect(ToBoard(txtSerNo->text()))) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("USB-Interface ") + txtSerNo->text(),
                        QStringLiteral("Fehler beim Öffnen"), QMessageBox::Ok, this);
        box.exec();
        txtSerNo->setText(QString());
        cmdReadSerial->setFocus();  // the only way on is another Read
        return;
    }
    cmdSerialConnect->setEnabled(false);
    cmdTest->setEnabled(true);
    fraOutputs->setEnabled(true);
    fraInputs->setEnabled(true);
    cmdTest->setFocus();  // rather than the read-only entry, next in the chain after connect
    bEmptyRead = false;
    txtSerNo->setText(FromBoard(oDevice->SerialNumber()));
    // The boxes are written to a board of the panel's own; a shared board's outputs stay as they
    // are, and the boxes show them.
    if (bShared)
        FollowSharedOutputs();
    else
        oDevice->TakeOutputs([this] {
            for (std::size_t i = 0; i < chkOut.size(); ++i)
                oDevice->BitOut(static_cast<std::int16_t>(i), chkOut[i]->isChecked());
        });
    tmr->start();
    ShowRefused();  // a new connection may be allowed what the last one was not, or not
}

bool frmTest::FollowSharedOutputs() {
    const auto on = oDevice->TakeOutputs([] {});
    if (!on) return false;
    for (std::size_t i = 0; i < chkOut.size(); ++i) chkOut[i]->setChecked((*on >> i & 1) != 0);
    return true;
}

void frmTest::chkOut_Click(std::int16_t Index) {
    clsLampBox* box = chkOut[static_cast<std::size_t>(Index)];
    const bool wanted = box->isChecked();
    oDevice->BitOut(Index, wanted);
    // A shared board's write returns once the board reports the output switched, or fails: the
    // box shows what the board reports then; when it cannot be read, nothing was switched.
    if (bShared && !FollowSharedOutputs()) box->setChecked(!wanted);
    // A write refused fails at once with nothing sent: the box and the latch go back at once
    // (a shared board's boxes already show what it reports), and the outputs are disabled.
    if (ShowRefused() && !bShared && box->isChecked() == wanted) {
        box->setChecked(!wanted);
        oDevice->BitOut(Index, !wanted);
    }
}

bool frmTest::ShowRefused() {
    const std::int32_t handle = oDevice->Handle();
    const QString why = handle == 0 ? QString() : QString::fromStdString(oDriver.Refused(handle));
    const bool may = why.isEmpty();
    // Each box rather than the group, so that the group's enabled state stays the connection's.
    for (clsLampBox* box : chkOut) box->setEnabled(may);
    cmdTest->setEnabled(may && handle != 0);
    if (!may && bTestMode) cmdTest_Click();  // a pattern of writes that would all be refused
    if (why != sRefused) {
        sRefused = why;
        ShowWhy();
    }
    return !may;
}

void frmTest::ShowSilent(const QString& Why) {
    if (Why == sSilent) return;
    sSilent = Why;
    ShowWhy();
    if (tmrNetwork->isActive()) ShowNetwork();
}

QString frmTest::NotAnswering() const {
    if (oNetwork.Unreachable) {
        if (const QString why = oNetwork.Unreachable(); !why.isEmpty())
            return QStringLiteral("broker out of reach: %1").arg(why);
    }
    const QString why = QString::fromStdString(oDriver.Absent(oDevice->SerialNumber()));
    return !why.isEmpty()
               ? why
               : QStringLiteral("board %1 does not answer").arg(FromBoard(oDevice->SerialNumber()));
}

// The driver's and the network's lines on each control they concern: for the mouse in the
// tooltip, for a screen reader in the accessible description (the name keeps the line's state).
void frmTest::ShowWhy() {
    const QString outputs = Lines({sRefused, sSilent});
    for (std::size_t i = 0; i < chkOut.size(); ++i) {
        SetPlainToolTip(chkOut[i], Lines({OutputName(i), outputs}));
        chkOut[i]->setAccessibleDescription(outputs);
    }
    SetPlainToolTip(cmdTest, sRefused);
    cmdTest->setAccessibleDescription(sRefused);
    SetPlainToolTip(fraInputs, sSilent);
    fraInputs->setAccessibleDescription(sSilent);
}

void frmTest::cmdTest_Click() {
    bTestMode = !bTestMode;
    cmdTest->setChecked(bTestMode);
}

void frmTest::cmdReadSerial_Click() {
    tmr->stop();
    // The scan holds the UI thread while it opens each attached device in turn.
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    oDevice->Identify();
    QGuiApplication::restoreOverrideCursor();
    bEmptyRead = oDevice->SerialNumber().empty();
    txtSerNo->setText(FromBoard(oDevice->SerialNumber()));
    cmdTest->setEnabled(false);
    fraOutputs->setEnabled(false);
    fraInputs->setEnabled(false);
    cmdSerialConnect->setEnabled(!txtSerNo->text().isEmpty());
    // No board open: nothing refused, nothing silent.
    ShowRefused();
    ShowSilent({});
    if (tmrNetwork->isActive()) ShowNetwork();
}

// A theme switch recolours the lamps that show the face at once, also while nothing polls.
void frmTest::changeEvent(QEvent* Event) {
    if (Event->type() == QEvent::PaletteChange) {
        oFace = palette().color(QPalette::Active, QPalette::Button);
        for (clsLampBox* box : chkOut)
            if (box->Value() != kOn) box->SetColour(oFace);
        for (clsLampBox* lamp : chkIn)
            if (lamp->Value() == kHigh) lamp->SetColour(oFace);
    }
    QWidget::changeEvent(Event);
}

void frmTest::Tick() {
    const QColor& face = oFace;
    // Each lamp is marked by its own read, so a board lost in the middle of a tick marks only
    // the lamps it no longer answered for; the next tick's reads clear or complete the marks.
    bool answered = true;
    for (std::size_t i = 0; i < chkIn.size(); ++i) {
        const bool high = oDevice->BitInput(static_cast<std::int16_t>(i));
        const bool read = oDevice->LastReadOk();
        answered = answered && read;
        chkIn[i]->SetColour(high ? face : kInputLow);
        chkIn[i]->SetMark(!read);
        chkIn[i]->SetValue(!read ? kNoReading : high ? kHigh : kLow);
    }
    // The output lamps show the latch. On a board of the panel's own that is what the panel has
    // commanded, never a reading, so a write the board did not take does not mark them (the
    // input lamps already say it is not answering). Other programs switch a shared board too:
    // its latch and boxes take what it reports first, and while it does not answer the boxes
    // keep what it last reported, whatever a write that failed left in the latch.
    if (bShared) FollowSharedOutputs();
    for (std::size_t i = 0; i < chkOut.size(); ++i) {
        const bool on =
            bShared ? chkOut[i]->isChecked() : oDevice->BitOut(static_cast<std::int16_t>(i));
        chkOut[i]->SetColour(on ? kOutputOn : face);
        chkOut[i]->SetValue(on ? kOn : kOff);
    }
    ShowRefused();  // it may come a moment after connect, or go
    ShowSilent(answered ? QString() : NotAnswering());
    if (!bTestMode) return;
    const auto& row = kPattern[static_cast<std::size_t>(iTestStep)];
    for (std::size_t i = 0; i < row.size(); ++i)
        oDevice->BitOut(static_cast<std::int16_t>(i), row[i]);
    iTestStep = static_cast<std::int16_t>((iTestStep + 1) % static_cast<int>(kPattern.size()));
}
