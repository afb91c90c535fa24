#include "Log.h"
#include "StartUp.h"
#include "Tonravel.h"

#include <QApplication>
#include <QLocale>
#include <QTranslator>

#include <iostream>

int main(int argc, char *argv[])
{
    // Without a display Qt would abort with a long plugin message; one clear line helps more.
    const QString displayProblem = StartUp::missingDisplayMessage();
    if (!displayProblem.isEmpty()) {
        std::cerr << displayProblem.toStdString() << std::endl;
        return 1;
    }

    StartUp::registerMessageTypes();
    QApplication application(argc, argv);
    QTranslator translator;
    LOG_LINE();
    StartUp::installTranslation(application, translator, QLocale().uiLanguages());
    StartUp::setApplicationIdentity();
    LOG_LINE();

    Tonravel window;
    window.show();
    return application.exec();
}
