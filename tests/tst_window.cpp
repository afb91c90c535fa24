#include "StartUp.h"
#include "TestSupport.h"
#include "Tonravel.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

#include <memory>

extern int qCleanupResources_resources();
extern int qInitResources_resources();

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void layoutOfTheWindow();
    void texts_data();
    void texts();
    void languageChoice_data();
    void languageChoice();
    void missingTranslationLeavesEnglish();
    void startAccelerator_data();
    void startAccelerator();
    void sliderShowsItsValue_data();
    void sliderShowsItsValue();
    void clearEmptiesTheAddress();
    void quitStoresSettings_data();
    void quitStoresSettings();

private:
    void installChinese()
    {
        translator = std::make_unique<QTranslator>();
        QVERIFY(StartUp::installTranslation(*qApp, *translator, {QStringLiteral("zh-CN")}));
    }
    template <typename T> T *child(Tonravel &window, const char *name)
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }

    SettingsSandbox sandbox;
    PulseServer pulse;
    std::unique_ptr<QTranslator> translator;
};

void TestWindow::initTestCase()
{
    QString problem;
    if (!usePulseAudioBackendOnly(&problem)) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no audio backend: ") + problem));
    }
    if (!pulse.start({{QStringLiteral("alsa_output.pci-0000_00_1f.3.analog-stereo")}, {}, {}})) {
        QSKIP(qPrintable(QStringLiteral("SKIPPED, no PulseAudio server: ") + pulse.errorString()));
    }
}

void TestWindow::cleanup()
{
    if (translator) {
        QCoreApplication::removeTranslator(translator.get());
        translator.reset();
    }
    sandbox.reset();
}

void TestWindow::layoutOfTheWindow()
{
    Tonravel window;
    QCOMPARE(window.windowIcon().availableSizes().value(0), QSize(256, 256));
    auto *tabs = child<QTabWidget>(window, "FunctabWidget_2");
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->widget(1), child<QWidget>(window, "logtab"));
    QVERIFY(child<QPushButton>(window, "startRecordstartDancepushButton")->isEnabled());

    // One menu, holding Quit alone; the other two actions are reachable from nowhere.
    const QList<QAction *> menus = window.menuBar()->actions();
    QCOMPARE(menus.size(), 1);
    QCOMPARE(menus.first()->menu(), child<QMenu>(window, "menu_Yarth"));
    const QList<QAction *> entries = menus.first()->menu()->actions();
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries.first(), child<QAction>(window, "action_Quit"));
    QVERIFY(child<QAction>(window, "action_Kill_process")->associatedWidgets().isEmpty());
    QVERIFY(child<QAction>(window, "actionS_etting")->associatedWidgets().isEmpty());
    QVERIFY(window.statusBar()->currentMessage().isEmpty());
}

static QString textOf(Tonravel &window, const QString &name, const QString &property)
{
    if (name == QLatin1String("Tonravel")) {
        return window.windowTitle();
    }
    QObject *object = window.findChild<QObject *>(name);
    if (!object) {
        return QStringLiteral("<missing %1>").arg(name);
    }
    if (property == QLatin1String("tabText")) {
        auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("FunctabWidget_2"));
        return tabs->tabText(tabs->indexOf(qobject_cast<QWidget *>(object)));
    }
    if (property == QLatin1String("shortcut")) {
        return qobject_cast<QAction *>(object)->shortcut().toString(QKeySequence::NativeText);
    }
    return object->property(property.toLatin1().constData()).toString();
}

void TestWindow::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QString>("english");
    QTest::addColumn<QString>("chinese");

    const struct {
        const char *name;
        const char *property;
        const char *english;
        const char *chinese;
    } rows[] = {
        {"Tonravel", "windowTitle", "Plovarin", "普洛瓦林"},
        {"action_Kill_process", "text", "&Kill process", "杀死进程（&K）"},
        {"action_Kill_process", "shortcut", "Ctrl+K", "Ctrl+K"},
        {"actionS_etting", "text", "S&etting", "设置（&e）"},
        {"action_Quit", "text", "&Quit", "退出（&Q）"},
        {"action_Quit", "shortcut", "Ctrl+Q", "Ctrl+Q"},
        {"parametergroupBox", "title", "Parameters", "参数"},
        {"inputVolumelabel_3", "text", "Audio input volume:", "声音输入音量："},
        {"label_2", "text", "Sound source:", "声音来源："},
        {"label", "text", "Receiver ip:", "接收者IP："},
        {"startRecordstartDancepushButton", "text", "Sta&rt", "启动（&r）"},
        {"clearpushButton", "text", "Clear", "清除"},
        {"servicetab", "tabText", "Service", "服务"},
        {"logtab", "tabText", "Log", "日志"},
        {"menu_Yarth", "title", "&Yarth", "亚斯（&Y）"},
    };
    for (const auto &row : rows) {
        QTest::addRow("%s %s", row.name, row.property)
            << QString::fromLatin1(row.name) << QString::fromLatin1(row.property)
            << QString::fromUtf8(row.english) << QString::fromUtf8(row.chinese);
    }
}

void TestWindow::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, property);
    QFETCH(QString, english);
    QFETCH(QString, chinese);

    {
        Tonravel window;
        QCOMPARE(textOf(window, name, property), english);
    }
    installChinese();
    Tonravel window;
    QCOMPARE(textOf(window, name, property), chinese);
}

void TestWindow::languageChoice_data()
{
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<bool>("chinese");

    QTest::addRow("zh-CN") << QStringList{"zh-CN", "zh"} << true;
    QTest::addRow("zh-Hans-CN") << QStringList{"zh-Hans-CN"} << true;
    QTest::addRow("zh_TW") << QStringList{"zh_TW"} << true;
    QTest::addRow("zh") << QStringList{"zh"} << true;
    QTest::addRow("en-US") << QStringList{"en-US", "en"} << false;
    QTest::addRow("Chinese second") << QStringList{"de-DE", "zh-CN"} << false;
    QTest::addRow("zu, not zh") << QStringList{"zu-ZA"} << false;
    QTest::addRow("nothing") << QStringList{} << false;
}

void TestWindow::languageChoice()
{
    QFETCH(QStringList, uiLanguages);
    QFETCH(bool, chinese);

    QCOMPARE(StartUp::isChineseUiLanguage(uiLanguages), chinese);
    translator = std::make_unique<QTranslator>();
    QCOMPARE(StartUp::installTranslation(*qApp, *translator, uiLanguages), chinese);
    Tonravel window;
    QCOMPARE(textOf(window, QStringLiteral("logtab"), QStringLiteral("tabText")),
             chinese ? QStringLiteral("日志") : QStringLiteral("Log"));
}

void TestWindow::missingTranslationLeavesEnglish()
{
    qCleanupResources_resources();
    translator = std::make_unique<QTranslator>();
    const bool installed =
        StartUp::installTranslation(*qApp, *translator, {QStringLiteral("zh-CN")});
    {
        Tonravel window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.windowTitle(), QStringLiteral("Plovarin"));
        QCOMPARE(textOf(window, QStringLiteral("startRecordstartDancepushButton"),
                        QStringLiteral("text")),
                 QStringLiteral("Sta&rt"));
    }
    qInitResources_resources();
    QVERIFY(!installed);
}

void TestWindow::startAccelerator_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addRow("English") << false;
    QTest::addRow("Chinese") << true;
}

void TestWindow::startAccelerator()
{
    QFETCH(bool, chinese);
    if (chinese) {
        installChinese();
    }
    Tonravel window;
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto *start = child<QPushButton>(window, "startRecordstartDancepushButton");
    QSignalSpy clicked(start, &QPushButton::clicked);
    QTest::keyClick(&window, Qt::Key_R, Qt::AltModifier);
    QTRY_COMPARE_WITH_TIMEOUT(clicked.count(), 1, 2000);
}

void TestWindow::sliderShowsItsValue_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("label");
    QTest::addRow("left end") << 0 << "0";
    QTest::addRow("one") << 1 << "1";
    QTest::addRow("middle") << 37 << "37";
    QTest::addRow("right end") << 100 << "100";
}

void TestWindow::sliderShowsItsValue()
{
    QFETCH(int, value);
    QFETCH(QString, label);

    Tonravel window;
    auto *slider = child<QSlider>(window, "inputVolumehorizontalSlider");
    auto *valueLabel = child<QLabel>(window, "inputVolumelabel_4");
    // The label shows the value from the start, before the slider ever moves.
    QCOMPARE(valueLabel->text(), QString::number(slider->value()));
    slider->setValue(value == 100 ? 50 : 100);
    slider->setValue(value);
    QCOMPARE(valueLabel->text(), label);
}

void TestWindow::clearEmptiesTheAddress()
{
    Tonravel window;
    auto *address = child<QLineEdit>(window, "receiverIplineEdit");
    address->setText(QStringLiteral("127.0.0.7"));
    QTest::mouseClick(child<QPushButton>(window, "clearpushButton"), Qt::LeftButton);
    QVERIFY(address->text().isEmpty());
}

void TestWindow::quitStoresSettings_data()
{
    QTest::addColumn<QString>("how");
    QTest::addRow("menu action") << "menu";
    QTest::addRow("Ctrl+Q") << "shortcut";
    QTest::addRow("closing the window") << "close";
}

void TestWindow::quitStoresSettings()
{
    QFETCH(QString, how);

    auto window = std::make_unique<Tonravel>();
    auto *tonravel = window.get();
    child<QLineEdit>(*tonravel, "receiverIplineEdit")->setText(QStringLiteral("127.0.0.9"));
    child<QSlider>(*tonravel, "inputVolumehorizontalSlider")->setValue(42);
    const QString source = child<QComboBox>(*tonravel, "soundSourcecomboBox")->currentText();
    window->show();
    QApplication::setActiveWindow(tonravel);
    QVERIFY(QTest::qWaitForWindowActive(tonravel));

    QTimer::singleShot(0, tonravel, [&]() {
        if (how == QLatin1String("menu")) {
            child<QAction>(*tonravel, "action_Quit")->trigger();
        } else if (how == QLatin1String("shortcut")) {
            QTest::keyClick(tonravel, Qt::Key_Q, Qt::ControlModifier);
        } else {
            tonravel->close();
        }
    });
    // A bound on the wait: a quit that never comes ends the loop with another code.
    QTimer::singleShot(5000, qApp, []() { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);
    window.reset();

    QSettings settings;
    QVERIFY(QFileInfo(settings.fileName()).absolutePath().endsWith(QLatin1String("/Morvenhal")));
    QCOMPARE(QFileInfo(settings.fileName()).completeBaseName(), QStringLiteral("Tonravel"));
    QVERIFY(settings.fileName().startsWith(sandbox.path()));
    QCOMPARE(settings.childGroups(), QStringList{QStringLiteral("Wendrel")});
    settings.beginGroup(QStringLiteral("Wendrel"));
    QCOMPARE(settings.childKeys().size(), 3);
    QCOMPARE(settings.value(QStringLiteral("audioInputDevice")).toString(), source);
    QCOMPARE(settings.value(QStringLiteral("receiverIp")).toString(), QStringLiteral("127.0.0.9"));
    QCOMPARE(settings.value(QStringLiteral("inputVolume")).toInt(), 42);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
