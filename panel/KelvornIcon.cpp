#include "panel/KelvornIcon.h"

// The resources live in a static library, whose initialiser the linker would otherwise drop.
static void InitResources() { Q_INIT_RESOURCE(kelvorn_panel); }

QIcon KelvornIcon() {
    InitResources();
    QIcon icon;
    for (const int size : {32, 64, 128})
        icon.addFile(QStringLiteral(":/icons/kelvorn-panel-%1.png").arg(size), QSize(size, size));
    return icon;
}
