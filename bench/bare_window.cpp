// The yardsticks for the panel's start-up: a bare Qt Widgets window of the panel's size, empty, or
// with "caption" as its argument showing one line of text, which is what brings in the fonts.
#include <QApplication>
#include <QLabel>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool caption = argc > 1 && QByteArray(argv[1]) == "caption";
    QWidget window;
    window.setWindowTitle(caption ? "bare-caption" : "bare-window");
    window.resize(477, 174);  // the panel's size with Qt's default font
    if (caption) (new QLabel("Kelvorn", &window))->move(8, 8);
    window.show();
    return app.exec();
}
