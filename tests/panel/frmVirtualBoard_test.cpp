// The demo's virtual board next to the panel: its LEDs follow the output pins, its switches drive
// the input pins, and its buttons plug, unplug, add and hold devices as the panel flows need.
#include "panel/sim/frmVirtualBoard.h"

#include <QCheckBox>
#include <QLabel>
#include <QScreen>

#include "PanelHarness.h"
#include "panel/sim/clsBoardView.h"

class VirtualBoardTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelHarness> p;
    std::unique_ptr<frmVirtualBoard> vb;

    template <typename T>
    T* On(int Device, const char* Name) const {
        auto* view = vb->findChild<clsBoardView*>(QStringLiteral("board%1").arg(Device));
        if (view == nullptr) qFatal("no view of device %d", Device);
        T* w = view->findChild<T*>(QLatin1String(Name));
        if (w == nullptr) qFatal("no %s on device %d", Name, Device);
        return w;
    }
    bool LedLit(int Index) const {
        return On<clsLampBox>(0, QByteArray("ledOut" + QByteArray::number(Index)).constData())
                   ->Colour() == kOrange;
    }

private slots:
    void init() {
        p = std::make_unique<PanelHarness>();
        vb = std::make_unique<frmVirtualBoard>(p->sim);  // plugs in the first board
        p->Open();
    }
    void cleanup() {
        p->win.reset();
        vb.reset();
        p.reset();
    }

    void startsWithOneFreeBoardWithDarkLeds() {
        QCOMPARE(p->sim.Devices().size(), std::size_t{1});
        QCOMPARE(p->sim.Board(0).Description, std::string("Kelvorn"));
        QVERIFY(On<QCheckBox>(0, "chkPlugged")->isChecked());
        QCOMPARE(On<QLabel>(0, "lblState")->text(), QString("closed"));
        for (int i = 0; i < 3; ++i) QVERIFY(!LedLit(i));
        p->Read();
        QCOMPARE(p->Entry()->text(), QString::fromStdString(p->sim.Board(0).Serial));
        // Told apart from the panel in a taskbar, with an icon there too.
        QVERIFY(vb->windowTitle().contains("Simulated"));
        QVERIFY(!vb->windowIcon().pixmap(32).isNull());
        // A dark LED keeps a rim that stands out from a dark window.
        vb->setPalette(DarkPalette());
        vb->show();
        auto* led = On<clsLampBox>(0, "ledOut0");
        const QColor rim = PanelHarness::PaintedAt(led, QPoint(0, led->height() / 2));
        QVERIFY2(Contrast(rim, DarkPalette().color(QPalette::Window)) >= 64,
                 qPrintable(rim.name()));
        QVERIFY(Contrast(rim, led->Colour()) >= 64);
    }

    void placedBesideThePanelWhollyOnScreen() {
        const QRect area = p->win->screen()->availableGeometry();
        // Panel in the top right corner: no room to its right.
        p->win->move(area.right() + 1 - p->win->frameGeometry().width(), area.top());
        QTRY_COMPARE(p->win->frameGeometry().topRight(), area.topRight());
        vb->PlaceBeside(*p->win);
        vb->show();
        QVERIFY(QTest::qWaitForWindowExposed(vb.get()));
        QVERIFY(area.contains(vb->frameGeometry()));
        QVERIFY(!vb->frameGeometry().intersects(p->win->frameGeometry()));
    }

    void opensLeftOfANarrowWindowInTheTopRightCorner() {
        const QRect area = p->win->screen()->availableGeometry();
        QWidget narrow;
        narrow.resize(40, area.height() / 2);
        narrow.move(area.right() + 1 - narrow.frameGeometry().width(), area.top());
        vb->ShowBeside(narrow);  // waits until the window is on screen
        QVERIFY(!vb->isVisible());
        narrow.show();
        QTRY_VERIFY(vb->isVisible());
        QVERIFY(QTest::qWaitForWindowExposed(vb.get()));
        QVERIFY(area.contains(vb->frameGeometry()));
        QVERIFY(vb->frameGeometry().right() < narrow.frameGeometry().left());
        QCOMPARE(vb->frameGeometry().top(), narrow.frameGeometry().top());
    }

    void closingEitherWindowEndsTheProgram() {
        for (QWidget* closed : std::initializer_list<QWidget*>{vb.get(), p->win.get()}) {
            p->win->show();
            vb->show();
            QTimer::singleShot(0, closed, &QWidget::close);
            QTimer hung;  // the program would run on
            connect(&hung, &QTimer::timeout, [] { QCoreApplication::exit(1); });
            hung.start(5000);
            QCOMPARE(QCoreApplication::exec(), 0);
        }
    }

    void ledsLightForTheOutputsThatAreOn() {
        p->Out(0)->setChecked(true);
        p->ReadAndConnect();
        vb->Refresh();
        QCOMPARE(On<QLabel>(0, "lblState")->text(), QString("open"));
        QVERIFY(LedLit(0));
        QVERIFY(!LedLit(1));
        QVERIFY(!LedLit(2));
        PanelHarness::Click(p->Out(2));
        QTRY_VERIFY(LedLit(2));  // the window follows by itself
    }

    void switchesDriveTheInputsThePanelShows() {
        p->ReadAndConnect();
        // Each switch pulls its own pin low and no other: D6, D3, D5, D7, D1 for inputs 0 to 4.
        const std::uint8_t pins[] = {0x40, 0x08, 0x20, 0x80, 0x02};
        for (int s = 0; s < 5; ++s) {
            auto* sw = On<QPushButton>(0, QByteArray("cmdIn" + QByteArray::number(s)).constData());
            PanelHarness::Click(sw);
            QCOMPARE(p->sim.Board(0).InputLevels, static_cast<std::uint8_t>(0xFF & ~pins[s]));
            p->win->Tick();
            for (int i = 0; i < 5; ++i) QCOMPARE(p->In(i)->Colour(), i == s ? kBlue : p->Face());
            PanelHarness::Click(sw);
            QCOMPARE(p->sim.Board(0).InputLevels, 0xFF);
        }
        PanelHarness::Click(On<QPushButton>(0, "cmdIn0"));
        QCOMPARE(p->sim.Board(0).InputLevels, 0xBF);
        QVERIFY(On<QPushButton>(0, "cmdIn0")->text().contains("low"));
        p->win->Tick();
        QCOMPARE(p->In(0)->Colour(), kBlue);
        for (int i = 1; i < 5; ++i) QCOMPARE(p->In(i)->Colour(), p->Face());
        PanelHarness::Click(On<QPushButton>(0, "cmdIn4"));  // D1
        QCOMPARE(p->sim.Board(0).InputLevels, 0xBD);
        PanelHarness::Click(On<QPushButton>(0, "cmdIn0"));
        QCOMPARE(p->sim.Board(0).InputLevels, 0xFD);
        QVERIFY(On<QPushButton>(0, "cmdIn0")->text().contains("high"));
    }

    void unplugAndPlugTheBoard() {
        p->ReadAndConnect();
        PanelHarness::Click(On<QCheckBox>(0, "chkPlugged"));
        QVERIFY(!p->sim.Plugged(0));
        QCOMPARE(On<QLabel>(0, "lblState")->text(), QString("unplugged"));
        for (int i = 0; i < 3; ++i) QVERIFY(!LedLit(i));
        p->win->Tick();
        QCOMPARE(p->In(0)->Colour(), kBlue);
        PanelHarness::Click(On<QCheckBox>(0, "chkPlugged"));
        QVERIFY(p->sim.Plugged(0));
        p->ReadAndConnect();
        QCOMPARE(p->sim.OpenHandles(), 1);
    }

    void addedDevicesLetReadStepThroughTwoBoards() {
        auto* addBoard = vb->findChild<QPushButton*>("cmdAddBoard");
        auto* addForeign = vb->findChild<QPushButton*>("cmdAddForeign");
        PanelHarness::Click(addForeign);
        PanelHarness::Click(addBoard);
        QVERIFY(!addBoard->isEnabled());
        QVERIFY(!addForeign->isEnabled());
        QCOMPARE(p->sim.Devices().size(), std::size_t{3});
        QVERIFY(p->sim.Board(1).Description != "Kelvorn");
        const QString first = QString::fromStdString(p->sim.Board(0).Serial);
        const QString second = QString::fromStdString(p->sim.Board(2).Serial);
        QVERIFY(first != second);
        p->Read();
        QCOMPARE(p->Entry()->text(), first);
        p->Read();
        QCOMPARE(p->Entry()->text(), second);
        // A board held by another program cannot be opened.
        PanelHarness::Click(On<QCheckBox>(2, "chkBusy"));
        QVERIFY(p->sim.Board(2).Busy);
        BoxWatcher boxes;
        p->Connect();
        QCOMPARE(boxes.Seen().Count, 1);
        QCOMPARE(p->sim.OpenHandles(), 0);
    }
};

QTEST_MAIN(VirtualBoardTest)
#include "frmVirtualBoard_test.moc"
