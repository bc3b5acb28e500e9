// The yardstick for the panel's start-up: a bare Qt Widgets window of the panel's size.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("bare-window");
    window.resize(301, 110);
    window.show();
    return app.exec();
}
