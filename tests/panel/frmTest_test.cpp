// The panel window: its controls at start, the entry rule, connect, the output boxes, the Test
// button, Read, and what the operator or the board can do to it.
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTextBlock>
#include <QTextDocument>
#include <cmath>

#include "PanelHarness.h"

namespace {
const char* const kAllControls[] = {"Frame4",     "txtSerNo",  "cmdReadSerial", "cmdSerialConnect",
                                    "fraOutputs", "chkOut0",   "chkOut1",       "chkOut2",
                                    "cmdTest",    "fraInputs", "chkIn0",        "chkIn1",
                                    "chkIn2",     "chkIn3",    "chkIn4"};
}

class frmTestTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelHarness> p;

private slots:
    void init() {
        p = std::make_unique<PanelHarness>();
        p->Open();
    }
    void cleanup() { p.reset(); }

    void startsWithEveryControlInItsInitialState() {
        QCOMPARE(p->win->windowTitle(), QString("  Kelvorn"));
        QVERIFY(!p->win->windowIcon().pixmap(32).isNull());
        QCOMPARE(p->Entry()->text(), QString());
        QVERIFY(p->Entry()->isEnabled());
        QCOMPARE(p->Button("cmdReadSerial")->text(), QString("Read"));
        QVERIFY(p->Button("cmdReadSerial")->isEnabled());
        QCOMPARE(p->Button("cmdSerialConnect")->text(), QString("connect"));
        QVERIFY(!p->Button("cmdSerialConnect")->isEnabled());
        QCOMPARE(p->Button("cmdTest")->text(), QString("Test"));
        QVERIFY(!p->Button("cmdTest")->isEnabled());
        QCOMPARE(p->Group("Frame4")->title(), QString());
        QVERIFY(p->Group("Frame4")->isEnabled());
        QCOMPARE(p->Group("fraOutputs")->title(), QString("outputs"));
        QVERIFY(!p->Group("fraOutputs")->isEnabled());
        QCOMPARE(p->Group("fraInputs")->title(), QString("inputs"));
        QVERIFY(!p->Group("fraInputs")->isEnabled());
        for (int i = 0; i < 3; ++i) {
            // Inoperable through the disabled group, yet enabled themselves.
            QVERIFY(!p->Out(i)->isEnabled());
            QVERIFY(p->Out(i)->isEnabledTo(p->Group("fraOutputs")));
            QVERIFY(!p->Out(i)->isChecked());
            QCOMPARE(p->Out(i)->text(), QString());
            QCOMPARE(p->Out(i)->Colour(), p->Face());
        }
        for (int i = 0; i < 5; ++i) {
            QVERIFY(!p->In(i)->isEnabledTo(p->Group("fraInputs")));
            QVERIFY(!p->In(i)->isChecked());
            QCOMPARE(p->In(i)->Colour(), kBlue);
            // Blue, but marked: nothing has been read yet.
            QVERIFY(p->In(i)->Mark());
            QCOMPARE(PanelHarness::PaintedAt(p->In(i), QPoint(p->In(i)->width() / 2, 2)), kBlue);
            QCOMPARE(PanelHarness::PaintedAt(p->In(i), p->In(i)->rect().center()),
                     QColor(Qt::white));
        }
        QCOMPARE(p->Timer()->interval(), 100);
        QVERIFY(!p->Timer()->isActive());
        QVERIFY(!p->win->TestMode());
        QCOMPARE(p->win->TestStep(), std::int16_t{0});
        QCOMPARE(p->sim.OpenHandles(), 0);
    }

    void controlsAreCheckBoxesLaidOutInTheDrawnProportions() {
        // Layout in pixels for an 8-point font, parent-relative, as drawn.
        struct Place {
            const char* Name;
            QRect At;
        };
        const Place places[] = {
            {"Frame4", {8, 8, 285, 41}},          {"txtSerNo", {8, 12, 113, 21}},
            {"cmdReadSerial", {144, 12, 57, 25}}, {"cmdSerialConnect", {216, 12, 61, 25}},
            {"fraOutputs", {12, 60, 81, 41}},     {"chkOut2", {8, 12, 21, 21}},
            {"chkOut1", {32, 12, 21, 21}},        {"chkOut0", {56, 12, 21, 21}},
            {"cmdTest", {104, 68, 45, 29}},       {"fraInputs", {160, 60, 133, 41}},
            {"chkIn4", {12, 16, 13, 13}},         {"chkIn3", {36, 16, 13, 13}},
            {"chkIn2", {60, 16, 13, 13}},         {"chkIn1", {84, 16, 13, 13}},
            {"chkIn0", {108, 16, 13, 13}},
        };
        const double scale = p->win->width() / 301.0;
        QVERIFY(scale >= 1.0);
        QVERIFY(std::abs(p->win->height() - 110 * scale) <= 1.0);
        QCOMPARE(p->win->minimumSize(), p->win->maximumSize());  // fixed size
        for (const Place& place : places) {
            QWidget* w = p->Get<QWidget>(place.Name);
            const QRect r = w->geometry();
            const QRect want = place.At;
            const auto near = [&](int Got, int Drawn) {
                return std::abs(Got - Drawn * scale) <= 1.0;
            };
            QVERIFY2(near(r.x(), want.x()) && near(r.y(), want.y()) &&
                         near(r.width(), want.width()) && near(r.height(), want.height()),
                     place.Name);
        }
        QCOMPARE(p->Entry()->parentWidget(), p->Group("Frame4"));
        QCOMPARE(p->Out(0)->parentWidget(), p->Group("fraOutputs"));
        QCOMPARE(p->In(0)->parentWidget(), p->Group("fraInputs"));
        for (int i = 0; i < 5; ++i) {
            QVERIFY(qobject_cast<QCheckBox*>(p->In(i)) != nullptr);
            QCOMPARE(p->In(i)->width(), p->In(i)->height());
        }
    }

    // Run again by CTest at other scales (QT_SCALE_FACTOR, QT_FONT_DPI).
    void lampFaceStaysInsideItsRim() {
        for (int i = 0; i < 5; ++i) {
            const QImage lamp = p->In(i)->grab().toImage();
            const QColor rim = lamp.pixelColor(0, 0);
            QVERIFY(rim != kBlue);
            for (int x = 0; x < lamp.width(); ++x) {
                QCOMPARE(lamp.pixelColor(x, 0), rim);
                QCOMPARE(lamp.pixelColor(x, lamp.height() - 1), rim);
            }
            for (int y = 0; y < lamp.height(); ++y) {
                QCOMPARE(lamp.pixelColor(0, y), rim);
                QCOMPARE(lamp.pixelColor(lamp.width() - 1, y), rim);
            }
            QCOMPARE(lamp.pixelColor(lamp.width() / 2, 2 * lamp.height() / 13), kBlue);
        }
    }

    void everyCaptionFitsItsControl() {
        const QFontMetrics fm(p->win->font());
        for (const char* name : {"cmdReadSerial", "cmdSerialConnect", "cmdTest"}) {
            QPushButton* b = p->Button(name);
            const int margin = b->style()->pixelMetric(QStyle::PM_ButtonMargin);
            QVERIFY2(fm.horizontalAdvance(b->text()) + 2 * margin <= b->width(), name);
            QVERIFY2(fm.height() + 4 <= b->height(), name);
        }
        for (const char* name : {"fraOutputs", "fraInputs"}) {
            QGroupBox* g = p->Group(name);
            QStyleOptionGroupBox option;
            option.initFrom(g);
            option.text = g->title();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect label = g->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                           QStyle::SC_GroupBoxLabel, g);
            QVERIFY2(label.width() >= fm.horizontalAdvance(g->title()), name);
            QVERIFY2(g->rect().contains(label), name);
            // Title and the frame line under it end above the boxes inside.
            for (QWidget* child : g->findChildren<clsLampBox*>())
                QVERIFY2(label.bottom() + 2 < child->y(), name);
        }
        QVERIFY(fm.horizontalAdvance(QString(16, '0')) < p->Entry()->width());
    }

    void tabOrderFollowsTheControlSequence() {
        // Group boxes take no focus; the rest in their tab sequence, wherever the chain starts.
        QStringList chain;
        QWidget* w = p->win.get();
        do {
            w = w->nextInFocusChain();
            const QString name = w->objectName();
            for (const char* control : kAllControls)
                if (name == QLatin1String(control) && w->focusPolicy() != Qt::NoFocus)
                    chain << name;
        } while (w != p->win.get());
        const QStringList want{"chkOut0",          "chkOut1",  "chkOut2",       "chkIn0",
                               "chkIn1",           "chkIn2",   "chkIn3",        "cmdTest",
                               "cmdSerialConnect", "txtSerNo", "cmdReadSerial", "chkIn4"};
        const qsizetype start = chain.indexOf("chkOut0");
        QVERIFY(start >= 0);
        QCOMPARE(chain.mid(start) + chain.mid(0, start), want);
        // At start only the entry and Read can take focus: tabbing moves between those two.
        p->Entry()->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), p->Entry());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), p->Button("cmdReadSerial"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), p->Entry());
    }

    void entryEnablesConnectOnlyWhileItHoldsText() {
        p->Entry()->setText("A1B2C3");
        QVERIFY(p->Button("cmdSerialConnect")->isEnabled());
        p->Entry()->setText("");
        QVERIFY(!p->Button("cmdSerialConnect")->isEnabled());
        // The operator can select and copy but not type.
        QVERIFY(p->Entry()->isReadOnly());
        p->Entry()->setFocus();
        QTest::keyClicks(p->Entry(), "XYZ");
        QCOMPARE(p->Entry()->text(), QString());
        QVERIFY(!p->Button("cmdSerialConnect")->isEnabled());
    }

    void failedConnectShowsTheMessageAndClearsTheEntry() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Read();
        QCOMPARE(p->Entry()->text(), QString("A1B2C3"));
        p->sim.Unplug(board);
        p->Activate();
        BoxWatcher boxes;
        p->Connect();
        QCOMPARE(boxes.Seen().Count, 1);
        QCOMPARE(boxes.Seen().Text, QString("Fehler beim Öffnen"));
        QCOMPARE(boxes.Seen().Title, QString("USB-Interface A1B2C3"));
        QCOMPARE(boxes.Seen().Icon, QMessageBox::Critical);
        QCOMPARE(boxes.Seen().Buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        p->VerifyNotConnected("");  // groups and Test stay as they were: disabled
        p->Activate();              // back from the message box
        QCOMPARE(QApplication::focusWidget(), p->Button("cmdReadSerial"));
    }

    void connectOpensTheBoardAndWritesTheCheckBoxes() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Out(0)->setChecked(true);  // left from an earlier connection
        p->ReadAndConnect();
        QCOMPARE(p->sim.Written(board), (Bytes{0x00, 0x10, 0x14}));
        QVERIFY(p->sim.IsOpen(board));
        QCOMPARE(p->sim.Settings(board).Mask, 0x15);
        QCOMPARE(p->sim.Settings(board).Mode, 1);
        QCOMPARE(p->Entry()->text(), QString("A1B2C3"));
        QVERIFY(!p->Button("cmdSerialConnect")->isEnabled());
        QVERIFY(p->Button("cmdTest")->isEnabled());
        QVERIFY(p->Group("fraOutputs")->isEnabled());
        QVERIFY(p->Group("fraInputs")->isEnabled());
        QVERIFY(p->Out(0)->isEnabled());
        QVERIFY(!p->In(0)->isEnabled());  // lamps stay inoperable
        // Clicking a lamp does nothing.
        PanelHarness::Click(p->In(0));
        QVERIFY(!p->In(0)->isChecked());
    }

    void eachOutputClickWritesOneByte() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        QCOMPARE(p->sim.Latch(board), 0x15);  // all off
        PanelHarness::Click(p->Out(1));
        QVERIFY(p->Out(1)->isChecked());
        QCOMPARE(p->WrittenSince(board, 3), (Bytes{0x05}));
        PanelHarness::Click(p->Out(2));
        QCOMPARE(p->WrittenSince(board, 4), (Bytes{0x01}));
        PanelHarness::Click(p->Out(1));
        QCOMPARE(p->WrittenSince(board, 5), (Bytes{0x11}));
        QCOMPARE(p->sim.Pins(board) & 0x15, 0x11);  // D2 low: output 2 on
        // A click anywhere on the box counts, also on the coloured face beside the indicator.
        QTest::mouseClick(p->Out(0), Qt::LeftButton, {},
                          QPoint(p->Out(0)->width() - 2, p->Out(0)->height() - 2));
        QCOMPARE(p->WrittenSince(board, 6), (Bytes{0x10}));
    }

    void testButtonTogglesTheModeWithoutTouchingTheOutputs() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        const std::size_t written = p->sim.Written(board).size();
        p->ToggleTest();
        QVERIFY(p->win->TestMode());
        p->ToggleTest();
        QVERIFY(!p->win->TestMode());
        QCOMPARE(p->sim.Written(board).size(), written);
        QCOMPARE(p->win->TestStep(), std::int16_t{0});
    }

    void testButtonShowsPressedWhileTheModeIsOnThroughReadAndConnect() {
        p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        QPushButton* test = p->Button("cmdTest");
        QVERIFY(!test->isChecked());
        p->ToggleTest();
        QVERIFY(p->win->TestMode());
        QVERIFY(test->isChecked());
        p->Read();  // disabled, yet the pattern will resume: still pressed
        QVERIFY(!test->isEnabled());
        QVERIFY(test->isChecked());
        p->Connect();
        QVERIFY(test->isEnabled());
        QVERIFY(test->isChecked());
        p->ToggleTest();
        QVERIFY(!p->win->TestMode());
        QVERIFY(!test->isChecked());
        p->Read();
        p->Connect();
        QVERIFY(!test->isChecked());
    }

    // A screen reader's toggle clicks Test, as the mouse does: the pattern runs while it is
    // checked. Qt's AT-SPI bridge has no toggle button role; a button that stays pressed is a check
    // box.
    void aScreenReaderTogglesTestAsAClickDoes() {
        p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        QAccessibleInterface* test = QAccessible::queryAccessibleInterface(p->Button("cmdTest"));
        QCOMPARE(test->role(), QAccessible::CheckBox);
        QCOMPARE(test->text(QAccessible::Name), QString("Test"));
        for (const bool on : {true, false}) {
            test->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
            QCOMPARE(p->win->TestMode(), on);
            QCOMPARE(p->Button("cmdTest")->isChecked(), on);
            QCOMPARE(test->state().checked, on);
        }
        p->Read();  // disabled: nothing to toggle
        QVERIFY(!test->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::toggleAction()));
        // The other buttons stay push buttons that the screen reader presses.
        QAccessibleInterface* connect =
            QAccessible::queryAccessibleInterface(p->Button("cmdSerialConnect"));
        QCOMPARE(connect->role(), QAccessible::Button);
        QCOMPARE(connect->text(QAccessible::Name), QString("connect"));
        QCOMPARE(connect->actionInterface()->keyBindingsForAction(
                     QAccessibleActionInterface::pressAction()),
                 QStringList{"Alt+C"});
        connect->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_VERIFY(p->Timer()->isActive());
        // A button held down is pressed, as it shows, until it is let go.
        QPushButton* read = p->Button("cmdReadSerial");
        QAccessibleInterface* held = QAccessible::queryAccessibleInterface(read);
        QVERIFY(!held->state().pressed);
        QTest::mousePress(read, Qt::LeftButton);
        QVERIFY(held->state().pressed);
        QTest::mouseRelease(read, Qt::LeftButton);
        QVERIFY(!held->state().pressed);
    }

    void screenReadersHearWhatEachLampIsAndShows() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        QCOMPARE(PanelHarness::Told(p->Entry(), QAccessible::Name), QString("serial number"));
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(p->win.get());
        QCOMPARE(window->role(), QAccessible::Window);
        QCOMPARE(window->text(QAccessible::Name), QString("  Kelvorn"));
        const char* const inPins[] = {"D6", "D3", "D5", "D7", "D1"};
        const char* const outPins[] = {"D0", "D4", "D2"};
        for (int i = 0; i < 5; ++i) {
            // The line, then what the lamp shows: a screen reader speaks the name wherever it is.
            const QString what = QString("input %1 (%2)").arg(i).arg(inPins[i]);
            QCOMPARE(PanelHarness::Told(p->In(i), QAccessible::Name),
                     what + " no reading");  // blue, but nothing read yet
            QCOMPARE(p->In(i)->toolTip(), what);
            // A lamp is there to be read, never to be switched or tabbed to.
            QAccessibleInterface* lamp = QAccessible::queryAccessibleInterface(p->In(i));
            QCOMPARE(lamp->role(), QAccessible::StaticText);
            QVERIFY(!lamp->state().disabled && !lamp->state().focusable &&
                    !lamp->state().checkable);
        }
        for (int i = 0; i < 3; ++i) {
            const QString what = QString("output %1 (%2)").arg(i).arg(outPins[i]);
            QCOMPARE(PanelHarness::Told(p->Out(i), QAccessible::Name), what + " off");
            QCOMPARE(p->Out(i)->toolTip(), what);
            // Inoperable in the disabled group: no toggle to offer.
            QVERIFY(!QAccessible::queryAccessibleInterface(p->Out(i))
                         ->actionInterface()
                         ->actionNames()
                         .contains(QAccessibleActionInterface::toggleAction()));
        }
        p->sim.SetInputLevels(board, 0xF7);  // D3 low: input 1
        p->Out(2)->setChecked(true);
        p->ReadAndConnect();
        p->win->Tick();
        for (int i = 0; i < 5; ++i)
            QCOMPARE(
                PanelHarness::Told(p->In(i), QAccessible::Name),
                QString("input %1 (%2) %3").arg(i).arg(inPins[i]).arg(i == 1 ? "low" : "high"));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(
                PanelHarness::Told(p->Out(i), QAccessible::Name),
                QString("output %1 (%2) %3").arg(i).arg(outPins[i]).arg(i == 2 ? "on" : "off"));
        QAccessibleInterface* box = QAccessible::queryAccessibleInterface(p->Out(2));
        QCOMPARE(box->role(), QAccessible::CheckBox);
        QVERIFY(box->state().checked);
        // Toggling the box through the screen reader's action is a click: one byte written.
        const std::size_t written = p->sim.Written(board).size();
        box->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(!p->Out(2)->isChecked());
        QCOMPARE(p->WrittenSince(board, written), (Bytes{0x15}));
    }

    void aThemeSwitchRecoloursTheBoxesAlsoWhileNothingPolls() {
        const QPalette light = p->win->palette();
        const QColor lightFace = p->Face();
        const QColor darkFace = DarkPalette().color(QPalette::Button);
        p->win->setPalette(DarkPalette());  // before any connect
        for (int i = 0; i < 3; ++i) QCOMPARE(p->Out(i)->Colour(), darkFace);
        for (int i = 0; i < 5; ++i) QCOMPARE(p->In(i)->Colour(), kBlue);  // unread, marked
        p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Out(0)->setChecked(true);
        p->ReadAndConnect();
        p->win->Tick();
        QCOMPARE(p->In(0)->Colour(), darkFace);  // high
        p->Read();
        const QImage darkOrange = p->Out(0)->grab().toImage();
        p->win->setPalette(light);
        QCOMPARE(p->Out(1)->Colour(), lightFace);
        QCOMPARE(p->In(0)->Colour(), lightFace);
        QCOMPARE(p->Out(0)->Colour(), kOrange);
        // The orange box is drawn again in the light look, on the same orange.
        const QImage lightOrange = p->Out(0)->grab().toImage();
        QVERIFY(lightOrange != darkOrange);
        QCOMPARE(lightOrange.pixelColor(lightOrange.width() - 2, lightOrange.height() - 2),
                 kOrange);
    }

    void altKeysPressTheirButtonsOnlyWhileEnabled() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        BoxWatcher boxes;
        p->AltKey(Qt::Key_C);  // connect and Test are disabled: nothing happens
        p->AltKey(Qt::Key_T);
        QTest::qWait(200);
        QCOMPARE(boxes.Seen().Count, 0);
        QVERIFY(!p->win->TestMode());
        p->AltKey(Qt::Key_R);
        QTRY_COMPARE(p->Entry()->text(), QString("A1B2C3"));
        p->AltKey(Qt::Key_C);
        QTRY_VERIFY(p->Timer()->isActive());
        QVERIFY(p->sim.IsOpen(board));
        // The operator goes on from Test, not from the read-only entry.
        QCOMPARE(QApplication::focusWidget(), p->Button("cmdTest"));
        p->AltKey(Qt::Key_T);
        QTRY_VERIFY(p->win->TestMode());
        p->AltKey(Qt::Key_C);  // disabled again while connected
        QTest::qWait(200);
        QCOMPARE(p->sim.OpenHandles(), 1);
        QCOMPARE(boxes.Seen().Count, 0);
        p->AltKey(Qt::Key_R);
        QTRY_VERIFY(!p->Timer()->isActive());
        QVERIFY(!p->sim.IsOpen(board));
        QCOMPARE(p->Button("cmdReadSerial")->text(), QString("Read"));  // no "&" in any caption
        QCOMPARE(p->Button("cmdSerialConnect")->text(), QString("connect"));
        QCOMPARE(p->Button("cmdTest")->text(), QString("Test"));
    }

    void readFindsNothingWithoutABoard() {
        p->sim.Add({"FT9Q7ZK1", "FT232R USB UART"});
        BoxWatcher boxes;
        p->Read();
        p->VerifyNotConnected("");
        QCOMPARE(boxes.Seen().Count, 0);
    }

    void readClearsAnEarlierSerialWhenTheBoardIsGone() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Read();
        QVERIFY(p->Button("cmdSerialConnect")->isEnabled());
        p->sim.Unplug(board);
        p->Read();
        QCOMPARE(p->Entry()->text(), QString());
        QVERIFY(!p->Button("cmdSerialConnect")->isEnabled());
    }

    void readStepsThroughTwoBoards() {
        p->sim.Add({"A1B2C3", "Kelvorn"});
        p->sim.Add({"FT9Q7ZK1", "FT232R USB UART"});
        p->sim.Add({"D4E5F6", "Kelvorn"});
        p->Read();
        QCOMPARE(p->Entry()->text(), QString("A1B2C3"));
        QVERIFY(p->Button("cmdSerialConnect")->isEnabled());
        p->Read();
        QCOMPARE(p->Entry()->text(), QString("D4E5F6"));
        QVERIFY(p->Button("cmdSerialConnect")->isEnabled());
        p->Read();
        QCOMPARE(p->Entry()->text(), QString("A1B2C3"));
        QCOMPARE(p->sim.OpenHandles(), 0);
    }

    void connectOpensTheSecondBoardChosenByRead() {
        const auto first = p->sim.Add({"A1B2C3", "Kelvorn"});
        const auto second = p->sim.Add({"D4E5F6", "Kelvorn"});
        p->Read();
        p->Read();
        p->Connect();
        QVERIFY(p->sim.IsOpen(second));
        QVERIFY(!p->sim.IsOpen(first));
        QCOMPARE(p->sim.Written(second).size(), std::size_t{3});
        QVERIFY(p->sim.Written(first).empty());
    }

    void readWhileConnectedEndsTheConnection() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        p->Read();
        QVERIFY(!p->sim.IsOpen(board));
        p->VerifyNotConnected("A1B2C3");
    }

    void everyByteOfASerialSurvivesReadAndConnect() {
        const std::string serial = "\xC4\xDF-7\xFF";  // 8-bit EEPROM bytes
        const auto board = p->sim.Add({serial, "Kelvorn"});
        p->ReadAndConnect();
        QCOMPARE(p->Entry()->text(), QString::fromUtf8("Äß-7ÿ"));
        QVERIFY(p->sim.IsOpen(board));
    }

    void destroyingTheWindowClosesTheBoardWithoutWriting() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        const std::size_t written = p->sim.Written(board).size();
        p->win.reset();
        QCOMPARE(p->sim.OpenHandles(), 0);
        QVERIFY(!p->sim.IsOpen(board));
        QCOMPARE(p->sim.Written(board).size(), written);
    }

    void aBoardUnpluggedAndPluggedBackCanBeConnectedAgain() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->ReadAndConnect();
        p->sim.Unplug(board);
        p->sim.Plug(board);
        p->Read();  // closes the dead handle
        QCOMPARE(p->sim.OpenHandles(), 0);
        p->ReadAndConnect();
        QVERIFY(p->sim.IsOpen(board));
        QCOMPARE(p->sim.OpenHandles(), 1);
    }

    void aBridgeNamedInMarkupIsShownAsItsText() {
        const QString name = R"(<h1 style="color:red">SAFE - power is OFF</h1>)";
        p->sim.Add({"A1B2C3", "Kelvorn"});
        p->win->SetNetwork(
            {"broker.lan:1883", [] { return QString(); }, [name](const QString&) { return name; }});
        p->Read();
        const QString where = "board A1B2C3 behind bridge " + name + " on broker broker.lan:1883";
        QTextDocument shown;  // as Qt shows a tooltip that might be rich text
        shown.setHtml(p->Entry()->toolTip());
        QCOMPARE(shown.toPlainText(), where);
        QCOMPARE(shown.lastBlock().blockFormat().headingLevel(), 0);
        QCOMPARE(PanelHarness::Told(p->Entry(), QAccessible::Description), where);
    }

    void aUserTheBrokerRefusesGetsNoOutputsNorTestWhileTheLampsGoOn() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Open(p->bridged);
        p->ReadAndConnect();             // all three on since power-up
        PanelHarness::Click(p->Out(0));  // allowed: off
        const QString why = "not allowed to switch A1B2C3: the broker refused (not authorized)";
        p->bridged.Why = why.toStdString();  // the broker's answer to the next command
        PanelHarness::Click(p->Out(0));
        QVERIFY(!p->Out(0)->isChecked() && !p->Out(0)->isEnabled());  // at once
        QCOMPARE(p->sim.Written(board), (Bytes{0x01}));
        p->sim.SetInputLevels(board, 0xF7);  // input 1 low
        p->win->Tick();
        QCOMPARE(p->In(1)->Colour(), kBlue);
        QVERIFY(!p->Out(2)->isEnabled() && !p->Button("cmdTest")->isEnabled());
        QCOMPARE(p->Out(2)->toolTip(), "output 2 (D2)\n" + why);
        QCOMPARE(PanelHarness::Told(p->Out(2), QAccessible::Description), why);
        QCOMPARE(PanelHarness::Told(p->Button("cmdTest"), QAccessible::Description), why);
        p->bridged.Why.clear();
        p->Read();
        p->Connect();
        QVERIFY(p->Out(0)->isEnabled() && p->Button("cmdTest")->isEnabled());
        QCOMPARE(p->Out(0)->toolTip(), QString("output 0 (D0)"));
        p->bridged.Why = why.toStdString();  // a moment after connect
        p->win->Tick();
        QVERIFY(!p->Out(0)->isEnabled() && !p->Button("cmdTest")->isEnabled());
    }

    void aSharedBoardNotAnsweringKeepsItsBoxesAndSaysWhy() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Open(p->bridged);
        p->ReadAndConnect();  // all three on since power-up
        p->sim.Unplug(board);
        PanelHarness::Click(p->Out(0));  // nothing there to switch it off
        p->win->Tick();
        const QString why = "board A1B2C3 does not answer";
        QVERIFY(p->Out(0)->isChecked() && p->Out(0)->Colour() == kOrange);
        QCOMPARE(p->Out(0)->toolTip(), "output 0 (D0)\n" + why);
        QCOMPARE(PanelHarness::Told(p->Group("fraInputs"), QAccessible::Description), why);
    }

    void anEmptyReadSaysWhatTheDriverKnowsOfNoBoard() {
        p->Open(p->bridged);
        p->bridged.Away = "no bridge publishes under prefix 'kelvron' on broker.lan";
        p->win->SetNetwork({"broker.lan:1883", [] { return QString(); },
                            [](const QString&) { return QString(); }});
        p->Read();
        const QString away = QString::fromStdString(p->bridged.Away);
        QCOMPARE(p->Entry()->placeholderText(), away);
        QCOMPARE(PanelHarness::Told(p->Entry(), QAccessible::Description),
                 "boards behind the bridges on broker broker.lan:1883\n" + away);
    }

    void aBusyBoardCannotBeConnected() {
        const auto board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Read();
        p->sim.SetBusy(board, true);
        BoxWatcher boxes;
        p->Connect();
        QCOMPARE(boxes.Seen().Count, 1);
        QCOMPARE(p->Entry()->text(), QString());
        QCOMPARE(p->sim.OpenHandles(), 0);
    }
};

QTEST_MAIN(frmTestTest)
#include "frmTest_test.moc"
