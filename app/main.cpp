#include "app/tform1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Torvane"));
    QApplication::setApplicationVersion(QStringLiteral(TORVANE_VERSION));
    TForm1 form;
    form.show();
    return app.exec();
}
