// A panel on simulated boards, shown offscreen, with the operator's actions and what they can see.
#pragma once

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "d2xx/SimDriver.h"
#include "panel/clsLampBox.h"
#include "panel/frmTest.h"
#include "tests/d2xx/Forwarding.h"

using Bytes = std::vector<std::uint8_t>;

const QColor kBlue(0, 0, 255);
const QColor kOrange(255, 128, 1);

// A dark desktop palette (Breeze Dark's colours), in which, unlike the test platform's, the button
// face and the window differ.
inline QPalette DarkPalette() {
    QPalette dark(QColor(0x29, 0x2c, 0x30), QColor(0x20, 0x23, 0x26));  // button, window
    for (const auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        dark.setColor(role, QColor(0xfc, 0xfc, 0xfc));
    dark.setColor(QPalette::Base, QColor(0x14, 0x16, 0x18));
    return dark;
}

// How far apart two colours are in grey level, 0..255: what tells a rim from what is around it.
inline int Contrast(const QColor& A, const QColor& B) {
    return std::abs(qGray(A.rgb()) - qGray(B.rgb()));
}

// What a modal message box showed before the watcher pressed its OK button.
struct SeenBox {
    int Count = 0;
    QString Text;
    QString Title;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons Buttons;
};

// Presses OK on every message box that comes up, after noting what it showed, so that a flow
// that opens one neither hangs nor goes unnoticed.
class BoxWatcher {
public:
    BoxWatcher() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            seen_.Count++;
            seen_.Text = box->text();
            seen_.Title = box->windowTitle();
            seen_.Icon = box->icon();
            seen_.Buttons = box->standardButtons();
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            if (ok != nullptr)
                ok->click();
            else
                box->reject();
        });
        timer_.start(5);
    }
    const SeenBox& Seen() const { return seen_; }

private:
    QTimer timer_;
    SeenBox seen_;
};

// Simulated boards shared as behind a bridge, and what its broker says: Why is Refused for an
// open board (its writes then fail, nothing sent), Away is Absent("").
struct BridgedSim : d2xx_test::Forwarding {
    using Forwarding::Forwarding;
    std::string Why, Away;
    bool Shared() const override { return true; }
    std::string Refused(d2xx::FT_HANDLE H) const override { return H != 0 ? Why : ""; }
    std::string Absent(const std::string& S) const override { return S.empty() ? Away : ""; }
    d2xx::FT_STATUS Fault(const char* Call) override {
        return std::string_view(Call) == "Write" && !Why.empty() ? d2xx::FT_IO_ERROR : d2xx::FT_OK;
    }
};

class PanelHarness {
public:
    d2xx::SimDriver sim;
    BridgedSim bridged{sim};
    std::unique_ptr<frmTest> win;

    void Open() { Open(sim); }
    void Open(d2xx::Driver& Through) {
        win = std::make_unique<frmTest>(Through);
        win->show();
        QVERIFY(QTest::qWaitForWindowExposed(win.get()));
    }

    template <typename T>
    T* Get(const char* Name) const {
        T* w = win->findChild<T*>(QLatin1String(Name));
        if (w == nullptr) qFatal("no control %s", Name);
        return w;
    }
    QLineEdit* Entry() const { return Get<QLineEdit>("txtSerNo"); }
    QPushButton* Button(const char* Name) const { return Get<QPushButton>(Name); }
    QGroupBox* Group(const char* Name) const { return Get<QGroupBox>(Name); }
    clsLampBox* Out(int Index) const { return Lamp("chkOut", Index); }
    clsLampBox* In(int Index) const { return Lamp("chkIn", Index); }
    QTimer* Timer() const { return Get<QTimer>("tmr"); }
    QColor Face() const { return win->palette().color(QPalette::Button); }

    // Clicks as the operator does: a disabled or hidden control ignores it.
    static void Click(QAbstractButton* Button) {
        QTest::mouseClick(Button, Qt::LeftButton, {}, Button->rect().center());
    }
    void Read() { Click(Button("cmdReadSerial")); }
    void Connect() { Click(Button("cmdSerialConnect")); }
    void ToggleTest() { Click(Button("cmdTest")); }

    // Read, then connect to the board found; fails the test on a message box.
    void ReadAndConnect() {
        BoxWatcher boxes;
        Read();
        Connect();
        QCOMPARE(boxes.Seen().Count, 0);
        QVERIFY(Timer()->isActive());
    }

    // The not-connected layout: no polling, no board open, the entry showing Serial and connect
    // enabled only with a serial to open.
    void VerifyNotConnected(const QString& Serial) const {
        QVERIFY(!Timer()->isActive());
        QCOMPARE(sim.OpenHandles(), 0);
        QCOMPARE(Entry()->text(), Serial);
        QCOMPARE(Button("cmdSerialConnect")->isEnabled(), !Serial.isEmpty());
        QVERIFY(!Button("cmdTest")->isEnabled());
        QVERIFY(!Group("fraOutputs")->isEnabled());
        QVERIFY(!Group("fraInputs")->isEnabled());
    }

    Bytes WrittenSince(d2xx::SimDriver::DeviceId Id, std::size_t From) const {
        const Bytes& all = sim.Written(Id);
        return Bytes(all.begin() + static_cast<std::ptrdiff_t>(From), all.end());
    }

    // The colour the lamp shows at a point of its face, as drawn on the screen.
    static QColor PaintedAt(QWidget* Lamp, QPoint At) {
        return Lamp->grab().toImage().pixelColor(At);
    }

    // What a screen reader is told of a control: its name, value, ...
    static QString Told(QWidget* Control, QAccessible::Text Kind) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(Control);
        if (a == nullptr) qFatal("no accessible interface");
        return a->text(Kind);
    }

    // Makes the panel the active window, where the keyboard focus goes.
    void Activate() {
        if (QApplication::activeWindow() == win.get()) return;
        win->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(win.get()));
    }

    // Alt+Key on the active window, as the operator types it.
    void AltKey(Qt::Key Key) {
        Activate();
        QTest::keyClick(win.get(), Key, Qt::AltModifier);
    }

private:
    clsLampBox* Lamp(const char* Array, int Index) const {
        const QByteArray name = QByteArray(Array) + QByteArray::number(Index);
        return Get<clsLampBox>(name.constData());
    }
};
