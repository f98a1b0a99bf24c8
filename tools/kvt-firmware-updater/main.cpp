#include "upgrader.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Upgrader window;
    window.show();
    return app.exec();
}
