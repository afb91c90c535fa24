#include "Tonravel.h"
#include "ui_Tonravel.h"

#include "AudioInput.h"
#include "Log.h"
#include "PhoneDialog.h"
#include "ReceiverAddress.h"

#include <QCoreApplication>
#include <QLabel>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

namespace
{
const QString kSettingsGroup = QStringLiteral("Wendrel");
const QString kAudioInputDeviceKey = QStringLiteral("audioInputDevice");
const QString kReceiverIpKey = QStringLiteral("receiverIp");
const QString kInputVolumeKey = QStringLiteral("inputVolume");
constexpr int kDefaultInputVolume = 100;
const QString kAlsaRealm = QStringLiteral("alsa");
// A receiver on the local network answers at once; one that does not serves no phone.
constexpr int kPageProbeTimeoutMs = 3000;
} // namespace

Tonravel::Tonravel(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::Tonravel)
    , serviceName(QStringLiteral("com.morvenhal.plovarin.player"))
    , receiverStatus(new QLabel(this))
    , phoneButton(new QPushButton(this))
{
    ui->setupUi(this);
    receiverStatus->setObjectName(QStringLiteral("receiverStatuslabel"));
    phoneButton->setObjectName(QStringLiteral("phonepushButton"));
    phoneButton->setText(tr("Listen on a phone..."));
    phoneButton->hide();
    ui->statusBar->addWidget(receiverStatus, 1);
    ui->statusBar->addPermanentWidget(phoneButton);
    connect(phoneButton, &QPushButton::clicked, this, &Tonravel::openPhoneDialog);
    // Only the receiver itself is asked, never a proxy.
    pageProbe.setProxy(QNetworkProxy::NoProxy);
    // The form's placeholder text would stand until the slider first moves.
    updateInputVolume(ui->inputVolumehorizontalSlider->value());
    initializeMemberObjects();
    connectSignals();
    loadSetting();
    checkSupportedSampleRates();
    showReceiverState(ReceiverState::None, QString());
}

Tonravel::~Tonravel()
{
    saveSetting();
    LOG_LINE();
    delete ui;
    LOG_LINE();
}

void Tonravel::updateInputVolume(int newInputVolume)
{
    ui->inputVolumelabel_4->setText(
        QStringLiteral("%1").arg(newInputVolume, 0, 10, QLatin1Char(' ')));
    if (signalsConnected) {
        AudioInput::instance()->setVolume(newInputVolume / 100.0);
    }
}

void Tonravel::quit()
{
    servicePublisher.quit();
    QCoreApplication::quit();
}

void Tonravel::startService()
{
    LOG_LINE();
    AudioInput *controller = AudioInput::instance();
    const qreal volume = ui->inputVolumehorizontalSlider->value() / 100.0;
    LOG_LINE();
    controller->setVolume(volume);
    controller->setReceiverIp(ui->receiverIplineEdit->text());
    controller->setDevice(audioDeviceMap[ui->soundSourcecomboBox->currentText()]);
    LOG_LINE();
    LOG_LINE();
    controller->preparePipeDevice();
    controller->start();
    LOG_LINE();
    ui->startRecordstartDancepushButton->setEnabled(false);
    LOG_LINE();
    showReceiverState(ReceiverState::Streaming, controller->currentReceiverIp().trimmed());
}

void Tonravel::connectSignals()
{
    LOG_LINE();
    AudioInput *controller = AudioInput::instance();
    connect(controller, &AudioInput::webSocketDisconnected, this, &Tonravel::enableRecognizeButton);
    LOG_LINE();
    LOG_LINE();
    connect(&servicePublisher, &ServicePublisher::serviceDiscovered, this,
            &Tonravel::applyDiscoveredService);
    signalsConnected = true;
}

void Tonravel::enableRecognizeButton()
{
    LOG_LINE() << ", Speaking done ";
    ui->startRecordstartDancepushButton->setEnabled(true);
    LOG_LINE() << ", Speaking done ";
    LOG_LINE() << ", Speaking done ";
    showReceiverState(ReceiverState::Gone, AudioInput::instance()->currentReceiverIp().trimmed());
}

void Tonravel::applyDiscoveredService(
    QString name, quint16 port,
    com::morvenhal::halvern::ServicePublishMessage_ServiceProtocolType protocolType,
    std::string address)
{
    Q_UNUSED(protocolType)
    if (name != serviceName) {
        return;
    }
    receiverPort = port;
    receiverAddress = QString::fromStdString(address);
    ui->receiverIplineEdit->setText(receiverAddress);
    // The running stream keeps its receiver; the status stays with it.
    if (receiverState != ReceiverState::Streaming) {
        showReceiverState(ReceiverState::Found, receiverAddress);
    }
}

void Tonravel::showReceiverState(ReceiverState state, const QString &address)
{
    // Start with an empty address field streams to no one.
    receiverState = address.isEmpty() ? ReceiverState::None : state;
    switch (receiverState) {
    case ReceiverState::None:
        receiverStatus->setText(
            tr("No receiver found yet: run plovarin-player on a computer of this network"));
        break;
    case ReceiverState::Found:
        receiverStatus->setText(tr("Receiver found at %1").arg(address));
        break;
    case ReceiverState::Streaming:
        receiverStatus->setText(tr("Streaming to %1").arg(address));
        break;
    case ReceiverState::Gone:
        receiverStatus->setText(tr("The receiver at %1 has gone").arg(address));
        break;
    }
    // The same receiver's page is asked for once, not at each change of its state (the button
    // would blink); again only for another address, or once the receiver has been gone.
    const ReceiverAddress receiver(address);
    const bool present =
        receiverState == ReceiverState::Found || receiverState == ReceiverState::Streaming;
    const QUrl page =
        present && receiver.isValid()
            ? QUrl(QStringLiteral("http://%1:%2/").arg(receiver.urlHost()).arg(kPagePort))
            : QUrl();
    if (page != probedPage) {
        probePage(page);
    }
}

void Tonravel::probePage(const QUrl &page)
{
    phoneButton->hide();
    probedPage = page;
    if (page.isEmpty()) {
        return;
    }
    QNetworkReply *reply = pageProbe.head(QNetworkRequest(probedPage));
    QTimer::singleShot(kPageProbeTimeoutMs, reply, &QNetworkReply::abort);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->url() != probedPage) {
            return; // a receiver asked before the present one
        }
        if (reply->error() == QNetworkReply::NoError && status == 200) {
            phoneButton->show();
        } else {
            LOG_LINE() << ", no page for phones at: " << probedPage.toString()
                       << ", reason: " << reply->errorString();
            // Asked again at the next change of the receiver's state: its page may come later.
            probedPage.clear();
        }
    });
}

void Tonravel::openPhoneDialog()
{
    // One dialog, for the receiver of the moment.
    if (phoneDialog) {
        phoneDialog->close();
    }
    phoneDialog = new PhoneDialog(probedPage.toString(), this);
    phoneDialog->setAttribute(Qt::WA_DeleteOnClose);
    phoneDialog->show();
    phoneDialog->raise();
    phoneDialog->activateWindow();
}

void Tonravel::clear()
{
    ui->receiverIplineEdit->clear();
}

void Tonravel::initializeMemberObjects()
{
    LOG_LINE();
    listAvailableAudioInputs();
    LOG_LINE();
    LOG_LINE();
    LOG_LINE();
}

void Tonravel::listAvailableAudioInputs()
{
    LOG_LINE();
    const QList<QAudioDeviceInfo> devices = offeredAudioInputs();
    for (const QAudioDeviceInfo &device : devices) {
        const QString name = device.deviceName();
        ui->soundSourcecomboBox->insertItem(ui->soundSourcecomboBox->count(), QIcon(), name,
                                            QVariant());
        audioDeviceMap[name] = device;
    }
    LOG_LINE();
}

QList<int> Tonravel::offeredSourceIndexes(const QStringList &names, const QStringList &realms)
{
    // A sound server with no source at all, or none reachable, still reports one nameless
    // default; that one is neither offered nor a sign of the server.
    bool soundServerListed = false;
    for (int i = 0; i < names.size(); ++i) {
        soundServerListed =
            soundServerListed || (!names.at(i).isEmpty() && realms.value(i) != kAlsaRealm);
    }
    // Beside the server's own devices, ALSA's plugins ("upmix", "lavrate", "pulse" ...) either
    // reach that same server again or cannot capture at all.
    QList<int> offered;
    for (int i = 0; i < names.size(); ++i) {
        if (!names.at(i).isEmpty() && !(soundServerListed && realms.value(i) == kAlsaRealm)) {
            offered.append(i);
        }
    }
    return offered;
}

QList<QAudioDeviceInfo> Tonravel::offeredAudioInputs()
{
    const QList<QAudioDeviceInfo> devices = QAudioDeviceInfo::availableDevices(QAudio::AudioInput);
    QStringList names;
    QStringList realms;
    for (const QAudioDeviceInfo &device : devices) {
        names.append(device.deviceName());
        realms.append(device.realm());
    }
    QList<QAudioDeviceInfo> offered;
    const QList<int> indexes = offeredSourceIndexes(names, realms);
    for (const int index : indexes) {
        offered.append(devices.at(index));
    }
    return offered;
}

QStringList Tonravel::reasonableDeviceKeywords()
{
    return {QStringLiteral("alsa"),   QStringLiteral("output"), QStringLiteral("pci"),
            QStringLiteral("analog"), QStringLiteral("stereo"), QStringLiteral("monitor"),
            tr("Stereo mix"),         QStringLiteral("stereo"), QStringLiteral("mix")};
}

int Tonravel::scoreDeviceName(const QString &name, const QStringList &keywords)
{
    int score = 0;
    for (const QString &keyword : keywords) {
        if (name.indexOf(keyword, 0, Qt::CaseInsensitive) != -1) {
            ++score;
        }
        LOG_LINE() << ", Speaking done ";
    }
    return score;
}

int Tonravel::indexOfMostReasonableName(const QStringList &names)
{
    if (names.isEmpty()) {
        return -1;
    }
    const QStringList keywords = reasonableDeviceKeywords();
    int bestIndex = 0;
    int bestScore = 0;
    for (int i = 0; i < names.size(); ++i) {
        LOG_LINE();
        const int score = scoreDeviceName(names.at(i), keywords);
        if (score > bestScore) {
            bestIndex = i;
            bestScore = score;
        }
        LOG_LINE();
    }
    return bestIndex;
}

void Tonravel::selectMostReasonableDeviceByName()
{
    LOG_LINE();
    LOG_LINE();
    LOG_LINE();
    LOG_LINE();
    // A fresh query, not the map: the box shows the platform's order, which decides ties.
    QStringList names;
    const QList<QAudioDeviceInfo> devices = offeredAudioInputs();
    for (const QAudioDeviceInfo &device : devices) {
        names.append(device.deviceName());
    }
    const int best = indexOfMostReasonableName(names);
    if (best < 0) {
        // No input at all: nothing to select, and the box stays empty.
        return;
    }
    ui->soundSourcecomboBox->setCurrentText(names.at(best));
}

void Tonravel::checkSupportedSampleRates()
{
    const QString current = ui->soundSourcecomboBox->currentText();
    const QAudioDeviceInfo device = audioDeviceMap[current];
    const QList<int> rates = device.supportedSampleRates();
    for (const int rate : rates) {
        ui->logplainTextEdit->appendPlainText(tr("%1Hz").arg(rate, 0, 10, QLatin1Char(' ')));
        LOG_LINE() << ", device: " << current << ", rate: " << rate;
    }
}

void Tonravel::loadSetting()
{
    LOG_LINE();
    QSettings settings;
    settings.beginGroup(kSettingsGroup);
    const QString device = settings.value(kAudioInputDeviceKey, QString()).toString();
    if (!device.isEmpty()) {
        ui->soundSourcecomboBox->setCurrentText(device);
    } else {
        selectMostReasonableDeviceByName();
    }
    ui->receiverIplineEdit->setText(settings.value(kReceiverIpKey).toString());
    LOG_LINE();
    ui->inputVolumehorizontalSlider->setValue(
        settings.value(kInputVolumeKey, kDefaultInputVolume).toInt());
    settings.endGroup();
}

void Tonravel::saveSetting()
{
    QSettings settings;
    settings.beginGroup(kSettingsGroup);
    settings.setValue(kAudioInputDeviceKey, ui->soundSourcecomboBox->currentText());
    settings.setValue(kReceiverIpKey, ui->receiverIplineEdit->text());
    const int volume = ui->inputVolumehorizontalSlider->value();
    LOG_LINE();
    settings.setValue(kInputVolumeKey, volume);
    settings.endGroup();
    settings.sync();
    LOG_LINE();
}
