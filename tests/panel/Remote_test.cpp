// The panel on the boards behind a kelvorn-mqtt --sim bridge, through a real broker: the window as
// on a USB board, a shared board's outputs in the boxes as the board reports them, the no-reading
// mark while the bridge or the broker is gone, and the entry saying where the boards are.
#include "Harness.h"
#include "PanelHarness.h"
#include "device/clsVostrel.h"
#include "panel/BridgedBoards.h"

using namespace mqtt_test;

class RemoteTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Broker> broker;
    std::unique_ptr<Client> all;
    std::unique_ptr<Process> bridge;
    kmqtt::Remote where;
    std::unique_ptr<kmqtt::MqttDriver> driver;
    std::unique_ptr<PanelHarness> p;

    // The input lamps as the operator sees them: 'x' marked, 'H' high, 'L' low; input 4 first,
    // as they sit in the window.
    QString Lamps() const {
        QString seen;
        for (int i = 4; i >= 0; --i)
            seen += p->In(i)->Mark() ? 'x' : p->In(i)->Colour() == kBlue ? 'L' : 'H';
        return seen;
    }
    QString Boxes() const {  // the output boxes as they sit: 'X' checked, '-' clear
        QString seen;
        for (int i = 2; i >= 0; --i) seen += p->Out(i)->isChecked() ? 'X' : '-';
        return seen;
    }
    std::string Commands(std::size_t Mark) const {
        std::string commands;
        const auto messages = all->Messages();
        // An empty set switches nothing: the driver's probe of whether this user may switch.
        for (std::size_t i = Mark; i < messages.size(); ++i)
            if (messages[i].Topic.ends_with("/set") && !messages[i].Payload.empty())
                commands += messages[i].Topic + " " + messages[i].Payload + "\n";
        return commands;
    }

private slots:
    void init() {
        broker = std::make_unique<Broker>();
        all = std::make_unique<Client>(broker->Port());
        bridge = SimBridge(*all, broker->Port(), "rig");
        where.Host = "127.0.0.1";
        where.Port = broker->Port();
        where.ClientId = kmqtt::UniqueClientId("kelvorn-panel");
        const bool away = QByteArray(QTest::currentTestFunction()).startsWith("aBrokerOutOfReach");
        if (away) broker->Kill();
        driver = std::make_unique<kmqtt::MqttDriver>(where);
        QCOMPARE(driver->Start().has_value(), away);
        p = std::make_unique<PanelHarness>();
        p->win = std::make_unique<frmTest>(*driver);
        p->win->SetNetwork(NetworkOf(*driver, where));
        p->win->show();
        QVERIFY(QTest::qWaitForWindowExposed(p->win.get()));
    }
    void cleanup() {
        p.reset();
        driver.reset();
        bridge.reset();
        all.reset();
        broker.reset();
    }

    void connectTakesTheOutputsOfASharedBoardAndTheBoxesSwitchThem() {
        all->Publish("kelvorn/D4E5F6/out1/set", "ON");  // someone else's, before the panel
        QVERIFY(all->Await("kelvorn/D4E5F6/out1", "ON"));  // so the command is before the mark
        clsVostrel seen(*driver);  // the board as the panel's own connection has it
        QVERIFY(seen.Connect("D4E5F6"));
        QTRY_VERIFY(seen.TakeOutputs({}) == 0b010);
        const std::size_t mark = all->Messages().size();
        const QString at = QString("broker 127.0.0.1:%1").arg(where.Port);
        QCOMPARE(p->Entry()->toolTip(), "boards behind the bridges on " + at);
        p->Read();
        QCOMPARE(p->Entry()->text(), QStringLiteral("A1B2C3"));
        p->Read();
        QCOMPARE(p->Entry()->text(), QStringLiteral("D4E5F6"));
        QCOMPARE(p->Entry()->toolTip(), "board D4E5F6 behind bridge rig on " + at);
        QCOMPARE(p->Entry()->placeholderText(), QString());
        BoxWatcher boxes;
        p->Connect();
        QCOMPARE(boxes.Seen().Count, 0);
        QCOMPARE(p->Entry()->text(), QStringLiteral("D4E5F6"));
        QCOMPARE(p->win->windowTitle(), QStringLiteral("  Kelvorn"));
        QVERIFY(!p->Out(0)->isChecked() && p->Out(1)->isChecked() && !p->Out(2)->isChecked());
        QCOMPARE(Commands(mark), std::string());  // connecting switched nothing
        p->win->Tick();
        QCOMPARE(Lamps(), QStringLiteral("HHHLH"));  // out1's wire pulls in1 low
        QCOMPARE(p->Out(1)->Colour(), kOrange);

        PanelHarness::Click(p->Out(0));
        QVERIFY(all->Await("kelvorn/D4E5F6/out0", "ON", mark));
        QVERIFY(all->Await("kelvorn/D4E5F6/out0/set", "ON", mark));
        QCOMPARE(Commands(mark), std::string("kelvorn/D4E5F6/out0/set ON\n"));  // connect's none
        p->win->Tick();
        QCOMPARE(Lamps(), QStringLiteral("HHHLL"));
    }

    void aBridgeOrBrokerGoneShowsNoReadingUntilItIsBack() {
        p->ReadAndConnect();
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("HHHHH"), 1000);
        all->Publish("kelvorn/A1B2C3/out1/set", "ON");  // from another desk: its box follows
        QTRY_COMPARE_WITH_TIMEOUT(Boxes(), QStringLiteral("-X-"), 5000);
        bridge->Signal(SIGKILL);  // its last will comes at once
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("xxxxx"), 1000);
        PanelHarness::Click(p->Out(0));  // nobody there to switch it: the box stays clear
        QCOMPARE(Boxes(), QStringLiteral("-X-"));
        p->win->Tick();
        QCOMPARE(p->Out(0)->Colour(), p->Face());  // not the latch the failed write left
        QCOMPARE(p->Out(1)->toolTip(),
                 "output 1 (D4)\nboard A1B2C3 is Offline (its bridge rig is Offline)");
        bridge = SimBridge(*all, broker->Port(), "rig");
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("HHHHH"), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(Boxes(), QStringLiteral("---"), 5000);  // back with all off

        broker->Kill();
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("xxxxx"), 1000);
        broker->Start();  // the bridge and the panel connect again by themselves
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("HHHHH"), 20000);
    }

    void theTestPatternRunsOnTheBoardBehindTheBridge() {
        p->ReadAndConnect();
        const std::size_t mark = all->Messages().size();
        p->ToggleTest();
        for (int step = 0; step < 4; ++step) p->win->Tick();  // rows 0 to 3: all three on
        QVERIFY(all->Await("kelvorn/A1B2C3/out2/set", "ON", mark));
        QCOMPARE(Commands(mark), std::string("kelvorn/A1B2C3/out0/set ON\n"
                                             "kelvorn/A1B2C3/out1/set ON\n"
                                             "kelvorn/A1B2C3/out2/set ON\n"));
        p->win->Tick();
        QCOMPARE(Lamps(), QStringLiteral("HHLLL"));
        QCOMPARE(Boxes(), QStringLiteral("XXX"));  // as the lamps: the board's outputs
    }

    void aBrokerOutOfReachAtStartIsSaidInTheEntryUntilItAnswers() {
        const QString at = QString("127.0.0.1:%1").arg(where.Port);
        const auto told = [this] { return PanelHarness::Told(p->Entry(), QAccessible::Description); };
        QCOMPARE(told(), "boards behind the bridges on broker " + at + "\nbroker out of reach: " +
                             "connection refused by " + at + "; trying again");
        QCOMPARE(p->Entry()->placeholderText(), QString("broker out of reach"));
        p->Read();  // as on a machine without a board
        p->VerifyNotConnected(QString());
        broker->Start();  // the panel and the bridge connect again by themselves
        QTRY_COMPARE_WITH_TIMEOUT(p->Entry()->placeholderText(), QString(), 20000);
        QTRY_COMPARE_WITH_TIMEOUT((p->Read(), p->Entry()->text()), QString("A1B2C3"), 20000);
        QCOMPARE(told(), "board A1B2C3 behind bridge rig on broker " + at);
    }
};

QTEST_MAIN(RemoteTest)
#include "Remote_test.moc"
