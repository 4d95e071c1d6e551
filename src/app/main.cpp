#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle("Lento");
    window.resize(960, 640);
    window.show();
    return application.exec();
}
