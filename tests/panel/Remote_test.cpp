// The panel on the boards behind a kelvorn-mqtt --sim bridge, through a real broker: the window as
// on a USB board, a shared board's outputs taken into the boxes at connect, and the no-reading
// mark while the bridge or the broker is gone.
#include "Harness.h"
#include "PanelHarness.h"
#include "mqtt/MqttDriver.h"

using namespace mqtt_test;

class RemoteTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Broker> broker;
    std::unique_ptr<Client> all;
    std::unique_ptr<Process> bridge;
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
    std::string Commands(std::size_t Mark) const {
        std::string commands;
        const auto messages = all->Messages();
        for (std::size_t i = Mark; i < messages.size(); ++i)
            if (messages[i].Topic.ends_with("/set")) commands += messages[i].Topic + " " +
                                                                 messages[i].Payload + "\n";
        return commands;
    }

private slots:
    void init() {
        broker = std::make_unique<Broker>();
        all = std::make_unique<Client>(broker->Port());
        bridge = SimBridge(*all, broker->Port(), "rig");
        kmqtt::Remote where;
        where.Host = "127.0.0.1";
        where.Port = broker->Port();
        where.ClientId = kmqtt::UniqueClientId("kelvorn-panel");
        driver = std::make_unique<kmqtt::MqttDriver>(where);
        QCOMPARE(driver->Start(), std::nullopt);
        p = std::make_unique<PanelHarness>();
        p->win = std::make_unique<frmTest>(*driver);
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
        QVERIFY(all->Await("kelvorn/D4E5F6/out1", "ON"));
        const std::size_t mark = all->Messages().size();
        p->Read();
        QCOMPARE(p->Entry()->text(), QStringLiteral("A1B2C3"));
        p->Read();
        QCOMPARE(p->Entry()->text(), QStringLiteral("D4E5F6"));
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
        bridge->Signal(SIGKILL);  // its last will comes at once
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("xxxxx"), 1000);
        bridge = SimBridge(*all, broker->Port(), "rig");
        QTRY_COMPARE_WITH_TIMEOUT(Lamps(), QStringLiteral("HHHHH"), 1000);

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
    }
};

QTEST_MAIN(RemoteTest)
#include "Remote_test.moc"
