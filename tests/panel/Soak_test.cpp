// A long run of the real window on simulated boards: 100,000 polls mixed with the operator's clicks
// and with boards unplugged, replugged, held by other programs and unreadable. Nothing may crash or
// leak, and while the connection is alive the lamps always agree with the board's pins.
// A failure prints the seed; KELVORN_SOAK_SEED=<seed> replays it.
#include <random>

#include "PanelHarness.h"

namespace {

constexpr int kTicks = 100000;

// A click without the mouse events around it, to keep a long run short; a disabled control
// ignores it all the same.
void Press(QAbstractButton* Button) { Button->click(); }
constexpr std::size_t kMaxDevices = 6;

}  // namespace

class SoakTest : public QObject {
    Q_OBJECT

private slots:
    void pollsClicksAndFaultsNeverBreakThePanel();
};

void SoakTest::pollsClicksAndFaultsNeverBreakThePanel() {
    const QByteArray given = qgetenv("KELVORN_SOAK_SEED");
    const std::uint32_t seed = given.isEmpty() ? std::random_device{}() : given.toUInt();
    qInfo("KELVORN_SOAK_SEED=%u", seed);
    std::mt19937 rng(seed);
    const auto pick = [&](int N) { return std::uniform_int_distribution<int>(0, N - 1)(rng); };

    PanelHarness p;
    p.sim.Add({"A1B2C3", "Kelvorn"});
    p.sim.Add({"FT0001", "FT232R USB UART"});
    p.sim.Add({"D4E5F6", "Kelvorn"});
    p.Open();
    BoxWatcher boxes;

    // The board the panel holds while its handle still reaches it (not unplugged since).
    int live = -1;
    const auto device = [&] { return pick(static_cast<int>(p.sim.Devices().size())); };
    const auto findLive = [&] {
        live = -1;
        for (const int id : p.sim.Devices())
            if (p.sim.IsOpen(id)) live = id;
    };

    int ticks = 0;
    int connects = 0;
    while (ticks < kTicks) {
        const int action = pick(100);
        if (action < 70) {
            if (!p.Timer()->isActive()) {
                Press(p.Button("cmdReadSerial"));
                Press(p.Button("cmdSerialConnect"));
                findLive();
                connects += live >= 0 ? 1 : 0;
                continue;
            }
            const std::uint8_t pinsBefore = live >= 0 ? p.sim.Pins(live) : 0;
            p.win->Tick();
            ++ticks;
            if (live < 0) continue;
            // The output lamps show the latch from before this tick's step: the pins as they were.
            const bool outOn[3] = {!(pinsBefore & 0x01), !(pinsBefore & 0x10),
                                   !(pinsBefore & 0x04)};
            const std::uint8_t inMask[5] = {0x40, 0x08, 0x20, 0x80, 0x02};
            for (int i = 0; i < 3; ++i)
                QVERIFY2(
                    (p.Out(i)->Colour() == kOrange) == outOn[i],
                    qPrintable(QString("seed %1 tick %2 output %3").arg(seed).arg(ticks).arg(i)));
            for (int i = 0; i < 5; ++i)
                QVERIFY2(
                    (p.In(i)->Colour() == kBlue) == !(pinsBefore & inMask[i]),
                    qPrintable(QString("seed %1 tick %2 input %3").arg(seed).arg(ticks).arg(i)));
        } else if (action < 76) {
            Press(p.Button("cmdTest"));
        } else if (action < 84) {
            const QByteArray name = "chkOut" + QByteArray::number(pick(3));
            Press(p.Get<clsLampBox>(name.constData()));
        } else if (action < 86) {
            Press(p.Button("cmdReadSerial"));
            live = -1;
            QVERIFY(!p.Timer()->isActive());
            QCOMPARE(p.sim.OpenHandles(), 0);
        } else if (action < 88) {
            Press(p.Button(
                "cmdSerialConnect"));  // often disabled; when it fails, the watcher presses OK
            if (live < 0) findLive();
        } else if (action < 91) {
            const int id = device();
            p.sim.Unplug(id);
            if (id == live) live = -1;
        } else if (action < 95) {
            p.sim.Plug(device());
        } else if (action < 97) {
            p.sim.SetBusy(device(), pick(2) == 0);
        } else if (action < 98) {
            p.sim.SetEepromFails(device(), pick(3) == 0);
        } else if (action < 99) {
            p.sim.SetInputLevels(device(), static_cast<std::uint8_t>(pick(256)));
        } else if (p.sim.Devices().size() < kMaxDevices) {
            std::string serial = "X";  // appended to, not "X" + ...: GCC 12 -O3 -Wrestrict
            serial += std::to_string(p.sim.Devices().size());
            p.sim.Add({serial, pick(2) ? "Kelvorn" : "Other"});
        }
        if (QTest::currentTestFailed()) return;
    }
    QVERIFY2(connects > 10, "the run hardly ever connected");
    qInfo("%d ticks, %d connects, %d message boxes", ticks, connects, boxes.Seen().Count);
    p.win.reset();
    QCOMPARE(p.sim.OpenHandles(), 0);
}

QTEST_MAIN(SoakTest)
#include "Soak_test.moc"
