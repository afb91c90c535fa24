#include "StartUp.h"

#include "SendFileMessage.pb.h"

#include <QCoreApplication>
#include <QtGlobal>
#include <QTranslator>

namespace StartUp
{

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(kOrganizationName);
    QCoreApplication::setOrganizationDomain(kOrganizationDomain);
    QCoreApplication::setApplicationName(kApplicationName);
}

bool isChineseUiLanguage(const QStringList &uiLanguages)
{
    if (uiLanguages.isEmpty()) {
        return false;
    }
    const QString preferred = uiLanguages.first().toLower();
    return preferred == QLatin1String("zh") || preferred.startsWith(QLatin1String("zh-")) ||
           preferred.startsWith(QLatin1String("zh_"));
}

bool installTranslation(QCoreApplication &application, QTranslator &translator,
                        const QStringList &uiLanguages)
{
    if (!isChineseUiLanguage(uiLanguages)) {
        return false;
    }
    // Empty directory, delimiters and suffix: Qt appends ".qm" and finds it at the bundle's root.
    if (!translator.load(kTranslationResource, QString(), QString(), QString())) {
        return false;
    }
    return application.installTranslator(&translator);
}

void registerMessageTypes()
{
    (void)com::morvenhal::plovarin::SendFileMessage::descriptor();
}

QString missingDisplayMessage()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool wantsX11 = platform.isEmpty() || platform.startsWith("xcb");
    const bool wantsWayland = platform.startsWith("wayland");
    if ((wantsX11 && qgetenv("DISPLAY").isEmpty()) ||
        (wantsWayland && qgetenv("WAYLAND_DISPLAY").isEmpty())) {
        return QStringLiteral("Plovarin needs a graphical display, and none was found (DISPLAY is "
                              "not set): start it from a desktop session, or give it a virtual "
                              "display with: xvfb-run -a make run");
    }
#endif
    return QString();
}

} // namespace StartUp
