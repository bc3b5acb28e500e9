#include "panel/sim/frmVirtualBoard.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <utility>

#include "panel/KelvornIcon.h"
#include "panel/sim/clsBoardView.h"

namespace {
constexpr int kRefreshMs = 50;  // twice the panel's poll rate, so no output step is missed
constexpr int kGap = 24;        // between the two windows
}  // namespace

frmVirtualBoard::frmVirtualBoard(d2xx::SimDriver& Sim, QWidget* Parent)
    : QWidget(Parent), oSim(Sim) {
    // "Simulated" first, where a narrow taskbar entry still shows it.
    setWindowTitle(QStringLiteral("Simulated Kelvorn boards"));
    setWindowIcon(KelvornIcon());
    // Not the last window that keeps the program running once the panel closes.
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* column = new QVBoxLayout(this);
    layDevices = new QVBoxLayout;
    column->addLayout(layDevices);

    auto* buttons = new QHBoxLayout;
    cmdAddBoard = new QPushButton(QStringLiteral("Add second board"), this);
    cmdAddBoard->setObjectName(QStringLiteral("cmdAddBoard"));
    cmdAddForeign = new QPushButton(QStringLiteral("Add foreign FTDI device"), this);
    cmdAddForeign->setObjectName(QStringLiteral("cmdAddForeign"));
    buttons->addWidget(cmdAddBoard);
    buttons->addWidget(cmdAddForeign);
    buttons->addStretch();
    column->addLayout(buttons);
    column->addStretch();

    connect(cmdAddBoard, &QPushButton::clicked, this, [this] {
        AddDevice("D4E5F6", "Kelvorn");
        cmdAddBoard->setEnabled(false);
    });
    connect(cmdAddForeign, &QPushButton::clicked, this, [this] {
        AddDevice("FT9Q7ZK1", "FT232R USB UART");
        cmdAddForeign->setEnabled(false);
    });

    AddDevice("A1B2C3", "Kelvorn");

    tmrRefresh = new QTimer(this);
    tmrRefresh->setInterval(kRefreshMs);
    connect(tmrRefresh, &QTimer::timeout, this, &frmVirtualBoard::Refresh);
    tmrRefresh->start();
}

void frmVirtualBoard::AddDevice(const char* Serial, const char* Description) {
    const d2xx::SimDriver::DeviceId id = oSim.Add({Serial, Description});
    auto* view = new clsBoardView(oSim, id, this);
    layDevices->addWidget(view);
    oViews.push_back(view);
}

void frmVirtualBoard::Refresh() {
    for (clsBoardView* view : oViews) view->Refresh();
}

void frmVirtualBoard::PlaceBeside(const QWidget& Other) {
    const QScreen* screen =
        Other.screen() != nullptr ? Other.screen() : QGuiApplication::primaryScreen();
    const QRect area = screen->availableGeometry();
    const QRect other = Other.frameGeometry();
    // Not yet shown, this window has no frame of its own: assume the one its neighbour has.
    const QMargins frame(
        Other.geometry().left() - other.left(), Other.geometry().top() - other.top(),
        other.right() - Other.geometry().right(), other.bottom() - Other.geometry().bottom());
    adjustSize();
    resize(size().boundedTo(area.size().shrunkBy(frame)));
    const QSize outer = size().grownBy(frame);

    // Each place pushed inside the area; the first that leaves Other uncovered wins.
    const auto inside = [&](QPoint At) {
        return QPoint(std::clamp(At.x(), area.left(),
                                 std::max(area.left(), area.right() + 1 - outer.width())),
                      std::clamp(At.y(), area.top(),
                                 std::max(area.top(), area.bottom() + 1 - outer.height())));
    };
    const QPoint candidates[] = {
        inside({other.right() + 1 + kGap, other.top()}),              // right
        inside({other.left() - kGap - outer.width(), other.top()}),   // left
        inside({other.left(), other.bottom() + 1 + kGap}),            // below
        inside({other.left(), other.top() - kGap - outer.height()}),  // above
    };
    QPoint at = candidates[0];
    for (const QPoint& c : candidates) {
        if (!QRect(c, outer).intersects(other)) {
            at = c;
            break;
        }
    }
    move(at);  // a top-level window's position is that of its frame
}

void frmVirtualBoard::ShowBeside(QWidget& Other) {
    (void)Other.winId();  // a top-level window's handle, also before it is first shown
    QWindow* window = Other.windowHandle();
    if (window == nullptr || window->isExposed()) {
        PlaceBeside(Other);
        show();
        return;
    }
    oBeside = &Other;
    window->installEventFilter(this);
}

bool frmVirtualBoard::eventFilter(QObject* Watched, QEvent* Event) {
    if (oBeside != nullptr && Watched == oBeside->windowHandle() &&
        Event->type() == QEvent::Expose && oBeside->windowHandle()->isExposed()) {
        Watched->removeEventFilter(this);
        const QPointer<QWidget> other = std::exchange(oBeside, nullptr);
        // After the expose has reached the panel, with the window manager's placement applied.
        QMetaObject::invokeMethod(
            this,
            [this, other] {
                if (other) ShowBeside(*other);
            },
            Qt::QueuedConnection);
    }
    return QWidget::eventFilter(Watched, Event);
}

void frmVirtualBoard::closeEvent(QCloseEvent* Event) {
    QWidget::closeEvent(Event);
    QCoreApplication::quit();
}
