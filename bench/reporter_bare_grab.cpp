// The floor of the reporter's start-up benchmark: a Qt program that only grabs the screen and
// saves it as JPEG, nothing else.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) return 2;
    const QPixmap pixmap = QGuiApplication::primaryScreen()->grabWindow(0);
    return pixmap.save(QString::fromLocal8Bit(argv[1]), "JPEG") ? 0 : 1;
}
