// The programs' window icon: the installed kelvorn-panel.svg, built in as PNG files.
#pragma once

#include <QIcon>

QIcon KelvornIcon();
