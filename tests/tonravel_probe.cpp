// A helper for the two-host discovery test: a main window with discovery on the real network
// (of the namespace it runs in) that prints the receiver address once discovery fills it in.
#include "StartUp.h"
#include "Tonravel.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    StartUp::setApplicationIdentity();
    Tonravel window;
    auto *address = window.findChild<QLineEdit *>(QStringLiteral("receiverIplineEdit"));
    address->clear();
    QObject::connect(address, &QLineEdit::textChanged, [](const QString &text) {
        std::printf("receiver %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    });
    QTimer::singleShot(20000, &application, &QCoreApplication::quit);
    return application.exec();
}
