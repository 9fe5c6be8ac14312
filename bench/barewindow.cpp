// The yardstick for start-up: a bare Qt window started the same way as the program.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(469, 410);
    window.show();
    std::printf("SHOWN tab=0\n");
    std::fflush(stdout);
    QTimer::singleShot(0, &window, &QWidget::close);
    return application.exec();
}
