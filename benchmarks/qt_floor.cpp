// The least a Qt 6 Widgets program does to show a window: the floor the
// game's start-up is measured against. With "text" it also shows the
// game's three captions in Qt's default font, with "gothic" in IPAGothic,
// to tell what text itself costs.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle("qt_floor");
    w.resize(248, 48);
    if (argc > 1 && (std::strcmp(argv[1], "text") == 0 || std::strcmp(argv[1], "gothic") == 0)) {
        if (std::strcmp(argv[1], "gothic") == 0) w.setFont(QFont("IPAGothic", 9));
        auto* b = new QPushButton("Race Start", &w);
        b->setGeometry(0, 0, 89, 49);
        (new QLabel("Top Time:  0.000秒 ", &w))->setGeometry(96, 0, 145, 17);
        (new QLabel("Now Time:  0.000秒 ", &w))->setGeometry(96, 24, 153, 17);
    }
    w.show();
    return app.exec();
}
