// The least a Qt 6 Widgets program does to show a window: the floor the
// game's start-up is measured against.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle("qt_floor");
    w.resize(248, 48);
    w.show();
    return app.exec();
}
