// The 100 ms poll: input and output lamps, the eight-step output pattern, and Read or an unplug
// while it runs.
#include <array>

#include "PanelHarness.h"

namespace {

using Row = std::array<bool, 3>;  // outputs 0, 1, 2; true = on
const std::array<Row, 8> kRows{{{false, false, false},
                                {true, false, false},
                                {true, true, false},
                                {true, true, true},
                                {true, true, true},
                                {false, true, true},
                                {false, false, true},
                                {false, false, false}}};

// The outputs a latch byte switches on: active low on D0, D4 and D2.
Row OutputsOf(std::uint8_t Byte) { return {!(Byte & 0x01), !(Byte & 0x10), !(Byte & 0x04)}; }

}  // namespace

class TickTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelHarness> p;
    d2xx::SimDriver::DeviceId board = 0;

    // Ticks once and checks that the tick wrote that pattern row and moved on to the next.
    void TickApplying(std::size_t Step) {
        const std::size_t before = p->sim.Written(board).size();
        p->win->Tick();
        const Bytes bytes = p->WrittenSince(board, before);
        QCOMPARE(bytes.size(), std::size_t{3});
        QCOMPARE(OutputsOf(bytes[2]), kRows[Step]);
        QCOMPARE(p->win->TestStep(), static_cast<std::int16_t>((Step + 1) % kRows.size()));
    }
    // A marked lamp shows a cross over its centre, in white on the blue face.
    static void VerifyMarkPainted(clsLampBox* Lamp, bool Marked) {
        const QPoint centre = Lamp->rect().center();
        QCOMPARE(PanelHarness::PaintedAt(Lamp, centre), Marked ? QColor(Qt::white) : kBlue);
        QCOMPARE(PanelHarness::PaintedAt(Lamp, QPoint(centre.x(), 2)), kBlue);  // face between arms
    }
    Row OutputLamps() const {
        Row lit{};
        for (int i = 0; i < 3; ++i) {
            const QColor c = p->Out(i)->Colour();
            if (c != kOrange && c != p->Face()) qFatal("output lamp %d neither orange nor face", i);
            lit[static_cast<std::size_t>(i)] = c == kOrange;
        }
        return lit;
    }

private slots:
    void init() {
        p = std::make_unique<PanelHarness>();
        board = p->sim.Add({"A1B2C3", "Kelvorn"});
        p->Open();
    }
    void cleanup() { p.reset(); }

    void nineTicksApplyRowsZeroToSevenThenZero() {
        p->ReadAndConnect();
        p->ToggleTest();
        for (int tick = 0; tick < 9; ++tick) {
            const std::size_t before = p->sim.Written(board).size();
            p->win->Tick();
            // Three one-byte writes per step, one per output in order 0, 1, 2.
            const Bytes step = p->WrittenSince(board, before);
            QCOMPARE(step.size(), std::size_t{3});
            const Row row = kRows[static_cast<std::size_t>(tick % 8)];
            QCOMPARE(OutputsOf(step[0])[0], row[0]);
            QCOMPARE(OutputsOf(step[1])[1], row[1]);
            QCOMPARE(OutputsOf(step[2]), row);
            QCOMPARE(OutputsOf(p->sim.Pins(board)), row);
        }
        QCOMPARE(p->win->TestStep(), std::int16_t{1});
    }

    void outputLampsTrailThePatternByOneTick() {
        p->ReadAndConnect();  // all boxes unchecked: all outputs off
        p->ToggleTest();
        Row shown{false, false, false};
        for (int tick = 0; tick < 10; ++tick) {
            p->win->Tick();
            QCOMPARE(OutputLamps(), shown);  // what was on before this tick's step
            // As drawn: the face beside the indicator is orange for an output that is on.
            for (int i = 0; i < 3; ++i) {
                clsLampBox* box = p->Out(i);
                const QPoint corner(box->width() - 2, box->height() - 2);
                QCOMPARE(PanelHarness::PaintedAt(box, corner),
                         shown[static_cast<std::size_t>(i)] ? kOrange : p->Face());
            }
            shown = kRows[static_cast<std::size_t>(tick % 8)];
        }
    }

    void firstTickOfAFreshConnectionShowsAllOutputsOff() {
        p->ReadAndConnect();
        p->win->Tick();
        QCOMPARE(OutputLamps(), (Row{false, false, false}));
    }

    void outputLampsFollowTheBoxesWithoutTestMode() {
        p->Out(2)->setChecked(true);
        p->ReadAndConnect();
        const std::size_t written = p->sim.Written(board).size();
        p->win->Tick();
        QCOMPARE(OutputLamps(), (Row{false, false, true}));
        QCOMPARE(p->sim.Written(board).size(), written);  // no step without test mode
        PanelHarness::Click(p->Out(0));
        p->win->Tick();
        QCOMPARE(OutputLamps(), (Row{true, false, true}));
    }

    void inputLampsShowEachPinLowAsBlue() {
        p->ReadAndConnect();
        p->sim.SetInputLevels(board, 0xBF);  // D6 low, all else high
        p->win->Tick();
        QCOMPARE(p->In(0)->Colour(), kBlue);
        for (int i = 1; i < 5; ++i) QCOMPARE(p->In(i)->Colour(), p->Face());
        QCOMPARE(PanelHarness::PaintedAt(p->In(0), p->In(0)->rect().center()), kBlue);
        QCOMPARE(PanelHarness::PaintedAt(p->In(1), p->In(1)->rect().center()), p->Face());

        // Each input on its own pin: D6, D3, D5, D7, D1 for inputs 0 to 4.
        const std::uint8_t pins[] = {0x40, 0x08, 0x20, 0x80, 0x02};
        for (int low = 0; low < 5; ++low) {
            p->sim.SetInputLevels(board, static_cast<std::uint8_t>(0xFF & ~pins[low]));
            p->win->Tick();
            for (int i = 0; i < 5; ++i) QCOMPARE(p->In(i)->Colour(), i == low ? kBlue : p->Face());
        }
        QCOMPARE(p->sim.PinReads(board), std::uint64_t{30});  // five reads per tick
    }

    void aLampIsRepaintedOnlyWhenItsColourChanges() {
        p->ReadAndConnect();
        p->win->Tick();
        QTest::qWait(50);  // every repaint the connect asked for is done
        int paints = 0, groupPaints = 0;
        struct Counter : QObject {
            int* Count;
            explicit Counter(int* C) : Count(C) {}
            bool eventFilter(QObject*, QEvent* E) override {
                if (E->type() == QEvent::Paint) ++*Count;
                return false;
            }
        } counter(&paints), groupCounter(&groupPaints);
        p->In(0)->installEventFilter(&counter);
        p->Group("fraInputs")->installEventFilter(&groupCounter);
        p->win->Tick();
        QApplication::processEvents();
        QCOMPARE(paints, 0);
        p->sim.SetInputLevels(board, 0xBF);
        p->win->Tick();
        QTRY_VERIFY(paints > 0);
        QTest::qWait(50);
        QCOMPARE(groupPaints, 0);  // the lamp paints opaquely: nothing behind it is redrawn
    }

    void underADarkPaletteLampsShowTheButtonFaceWithinAVisibleRim() {
        p->win->setPalette(DarkPalette());
        QVERIFY(p->Face() != p->win->palette().color(QPalette::Window));
        p->ReadAndConnect();  // inputs high, outputs off: every lamp shows the button face
        p->win->Tick();
        const QColor window = p->win->palette().color(QPalette::Window);
        for (int i = 0; i < 5; ++i) {
            clsLampBox* lamp = p->In(i);
            QCOMPARE(PanelHarness::PaintedAt(lamp, lamp->rect().center()), p->Face());
            const QColor rim = PanelHarness::PaintedAt(lamp, QPoint(0, lamp->height() / 2));
            QVERIFY2(Contrast(rim, window) >= 64 && Contrast(rim, p->Face()) >= 64,
                     qPrintable(rim.name()));
        }
        for (int i = 0; i < 3; ++i) {
            clsLampBox* box = p->Out(i);
            QCOMPARE(PanelHarness::PaintedAt(box, QPoint(box->width() - 2, box->height() - 2)),
                     p->Face());
        }
    }

    void theTimerPollsOnceStarted() {
        p->ReadAndConnect();
        QTRY_VERIFY(p->sim.PinReads(board) >= 10);  // at least two ticks came by themselves
        p->sim.SetInputLevels(board, 0x00);
        QTRY_COMPARE(p->In(3)->Colour(), kBlue);
    }

    void switchingTestModeOffAndOnResumesWithTheNextStep() {
        p->ReadAndConnect();
        p->ToggleTest();
        for (int tick = 0; tick < 3; ++tick) p->win->Tick();  // steps 0, 1, 2
        p->ToggleTest();
        const std::size_t before = p->sim.Written(board).size();
        p->win->Tick();
        p->win->Tick();
        QCOMPARE(p->sim.Written(board).size(), before);  // pattern stands still
        QCOMPARE(OutputsOf(p->sim.Latch(board)), kRows[2]);
        QVERIFY(!p->Out(0)->isChecked());  // the boxes keep the operator's choice
        p->ToggleTest();
        TickApplying(3);
    }

    void theOutputWordsAndBoxesFollowThePatternNotTheBoxes() {
        p->ReadAndConnect();
        p->ToggleTest();
        for (int tick = 0; tick < 3; ++tick) p->win->Tick();  // steps 0, 1; the lamps show step 1
        QCOMPARE(p->Out(0)->Colour(), kOrange);
        QVERIFY(!p->Out(0)->isChecked());
        QCOMPARE(PanelHarness::Told(p->Out(0), QAccessible::Name), QString("output 0 (D0) on"));
        // An orange box that gets checked shows its check mark.
        p->Out(0)->setFocus();
        const QImage clear = p->Out(0)->grab().toImage();
        PanelHarness::Click(p->Out(0));
        QVERIFY(p->Out(0)->isChecked());
        QCOMPARE(p->Out(0)->Colour(), kOrange);
        QVERIFY(p->Out(0)->grab().toImage() != clear);
    }

    void readStopsThePatternAndAConnectResumesIt() {
        p->ReadAndConnect();
        p->ToggleTest();
        for (int tick = 0; tick < 3; ++tick) p->win->Tick();  // steps 0, 1, 2
        p->Read();
        QVERIFY(!p->sim.IsOpen(board));
        p->VerifyNotConnected("A1B2C3");
        QVERIFY(p->win->TestMode());
        const std::uint64_t reads = p->sim.PinReads(board);
        QTest::qWait(250);
        QCOMPARE(p->sim.PinReads(board), reads);  // no tick came after Read

        p->Connect();
        QVERIFY(p->Timer()->isActive());
        TickApplying(3);
    }

    void anUnpluggedBoardShowsAllInputsLowAndNothingBreaks() {
        p->ReadAndConnect();
        p->ToggleTest();
        p->win->Tick();
        for (int i = 0; i < 5; ++i) QCOMPARE(p->In(i)->Colour(), p->Face());
        p->sim.SetInputLevels(board, 0x00);  // five inputs wired low: a valid reading, no mark
        p->win->Tick();
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(p->In(i)->Colour(), kBlue);
            QVERIFY(!p->In(i)->Mark());
        }
        p->sim.Unplug(board);
        for (int tick = 0; tick < 3; ++tick) p->win->Tick();
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(p->In(i)->Colour(), kBlue);
            QVERIFY(p->In(i)->Mark());  // a board that does not answer is not "all low"
            QVERIFY(PanelHarness::Told(p->In(i), QAccessible::Name).endsWith(") no reading"));
            VerifyMarkPainted(p->In(i), true);
        }
        QCOMPARE(OutputLamps(), kRows[3]);  // the lamps still follow the latch
        PanelHarness::Click(p->Out(0));     // writes go nowhere, quietly
        BoxWatcher boxes;
        p->Read();
        QCOMPARE(boxes.Seen().Count, 0);
        p->VerifyNotConnected("");
        QVERIFY(p->In(0)->Mark());  // Read leaves the lamps as they are

        // Back again: the first tick that reads the pins takes the mark away.
        p->sim.Plug(board);
        p->ReadAndConnect();
        p->win->Tick();
        for (int i = 0; i < 5; ++i) {
            QVERIFY(!p->In(i)->Mark());
            QVERIFY(PanelHarness::Told(p->In(i), QAccessible::Name).endsWith(") low"));
            VerifyMarkPainted(p->In(i), false);
        }
    }
};

QTEST_MAIN(TickTest)
#include "Tick_test.moc"
