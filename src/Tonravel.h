#ifndef TONRAVEL_H
#define TONRAVEL_H

#include "ServicePublisher.h"

#include <QAudioDeviceInfo>
#include <QList>
#include <QMainWindow>
#include <QMap>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

class PhoneDialog;
class QLabel;
class QPushButton;

namespace Ui
{
class Tonravel;
}

// The main window: the Service tab (volume, sound source, receiver address, Start) and the Log
// tab with the chosen source's sample rates. Its status bar says where the sound goes and, for
// a receiver that serves the web page, how a phone joins it.
class Tonravel : public QMainWindow
{
    Q_OBJECT

public:
    explicit Tonravel(QWidget *parent = nullptr);
    ~Tonravel() override;

    // The keywords whose presence in a device name marks a loop-back source, in scoring order.
    static QStringList reasonableDeviceKeywords();
    // How many keyword positions occur in name, ignoring letter case (0 to 9).
    static int scoreDeviceName(const QString &name, const QStringList &keywords);
    // Index of the best-scoring name, the first of equal best scores; 0 when none scores;
    // -1 for an empty list.
    static int indexOfMostReasonableName(const QStringList &names);
    // Positions, in the platform's list of input names and their realms, of the inputs offered
    // as sound sources: the named ones, less ALSA's plugin pseudo-devices when the sound
    // server's own devices are listed beside them.
    static QList<int> offeredSourceIndexes(const QStringList &names, const QStringList &realms);

    // The receiver's port that serves the page for phones.
    static constexpr quint16 kPagePort = 14214;

private slots:
    void updateInputVolume(int newInputVolume);
    void quit();
    void startService();
    void clear();

private:
    void initializeMemberObjects();
    static QList<QAudioDeviceInfo> offeredAudioInputs();
    void listAvailableAudioInputs();
    void selectMostReasonableDeviceByName();
    void checkSupportedSampleRates();
    void loadSetting();
    void saveSetting();
    void connectSignals();
    void enableRecognizeButton();
    void applyDiscoveredService(
        QString name, quint16 port,
        com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType protocolType,
        std::string address);
    enum class ReceiverState { None, Found, Streaming, Gone };
    void showReceiverState(ReceiverState state, const QString &address);
    // Hides the phone button until page, if any, answers.
    void probePage(const QUrl &page);
    void openPhoneDialog();

    QMap<QString, QAudioDeviceInfo> audioDeviceMap;
    Ui::Tonravel *ui;
    ServicePublisher servicePublisher;
    QString serviceName;
    quint16 receiverPort = 0;
    QString receiverAddress;
    // The capture controller exists from connectSignals on; volume changes before that are
    // picked up by the first Start.
    bool signalsConnected = false;
    // The status bar's part: the receiver's state in words, and the way to a phone.
    QLabel *receiverStatus;
    QPushButton *phoneButton;
    ReceiverState receiverState = ReceiverState::None;
    // The page asked for last; its answer alone shows the phone button. (Declared first: it
    // outlives the requests.)
    QUrl probedPage;
    QNetworkAccessManager pageProbe;
    QPointer<PhoneDialog> phoneDialog;
};

#endif // TONRAVEL_H
