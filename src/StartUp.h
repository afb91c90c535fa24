#ifndef STARTUP_H
#define STARTUP_H

#include <QString>
#include <QStringList>

class QCoreApplication;
class QTranslator;

// The pieces of start-up that main() runs and tests check without starting the program.
namespace StartUp
{

inline const QString kOrganizationName = QStringLiteral("Morvenhal");
inline const QString kOrganizationDomain = QStringLiteral("morvenhal.com");
inline const QString kApplicationName = QStringLiteral("Tonravel");
inline const QString kTranslationResource = QStringLiteral(":/Yarth");

void setApplicationIdentity();

// The translation is Chinese only, so it applies when the user's preferred interface
// language is Chinese; everyone else sees the English source texts.
bool isChineseUiLanguage(const QStringList &uiLanguages);

// Loads the embedded translation into translator and installs it in the application when
// uiLanguages prefers Chinese. Returns whether a translation was installed.
bool installTranslation(QCoreApplication &application, QTranslator &translator,
                        const QStringList &uiLanguages);

// Makes sure the generated message types are linked in, so that their descriptors are
// registered with the protobuf runtime before main() runs.
void registerMessageTypes();

// Returns a message explaining how to get a display when the windowing system cannot be
// reached from this environment, or an empty text when start-up can go on.
QString missingDisplayMessage();

} // namespace StartUp

#endif // STARTUP_H
