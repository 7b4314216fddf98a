#include "homescreen.h"

#include "appdata.h"
#include "tracefmt.h"

#include <QApplication>
#include <QDateTime>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

namespace platform {

namespace {

QPointer<HomeScreen> s_screen;

void deleteHomeScreen()
{
    delete s_screen.data();
}

const char kStyle[] = R"(
platform--HomeScreen { background: #0e141b; }
QLabel { color: #e8edf2; }
QWidget#topBar { background: #16202b; border-bottom: 1px solid #24313f; }
QLabel#title { font-size: 22px; font-weight: 600; letter-spacing: 2px; color: #9fb4c8; }
QLabel#clock { font-size: 30px; font-weight: 600; }
QLabel#date { font-size: 15px; color: #8496a8; }
QWidget#card { background: #16202b; border: 1px solid #22303d; border-radius: 10px; }
QLabel#caption { font-size: 13px; color: #7f93a6; letter-spacing: 1px; }
QLabel#value { font-size: 22px; font-weight: 500; }
QLabel#detail { font-size: 13px; color: #8496a8; }
QLabel#pillWaiting { font-size: 18px; font-weight: 600; color: #1b1300; background: #e0a526;
                     border-radius: 16px; padding: 4px 22px; min-height: 32px; }
QLabel#pillReady { font-size: 18px; font-weight: 600; color: #03150a; background: #3ccf74;
                   border-radius: 16px; padding: 4px 22px; min-height: 32px; }
QLabel#versions { font-size: 13px; color: #6f8295; }
)";

QString stageText(const HomeSnapshot &s)
{
    switch (s.serviceStage) {
    case 0:
        return QObject::tr("Not started yet");
    case 1:
        return s.stagedStart ? QObject::tr("Direct stage up") : QObject::tr("Direct stage up (direct start)");
    case 2:
        return s.stagedStart ? QObject::tr("All stages up") : QObject::tr("All stages up (direct start)");
    default:
        return QObject::tr("Stage %1").arg(s.serviceStage);
    }
}

// The room a card gives its value: the card's share of the 1024 px row, less
// the grid's and the card's margins.
constexpr int kValueWidth = 270;

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("\u2014") : text;
}

} // namespace

QString sourceName(int id)
{
    switch (id) {
    case SOURCE_ID_NONE: return QObject::tr("None");
    case SOURCE_ID_RADIO: return QObject::tr("Radio");
    case SOURCE_ID_USB_MUSIC: return QObject::tr("USB music");
    case SOURCE_ID_BT_MUSIC: return QObject::tr("Bluetooth music");
    case SOURCE_ID_AUX: return QObject::tr("AUX");
    case SOURCE_ID_USB_VIDEO: return QObject::tr("USB video");
    case SOURCE_ID_NAVI: return QObject::tr("Navigation");
    case SOURCE_ID_PHONE: return QObject::tr("Phone");
    case SOURCE_ID_SETTINGS: return QObject::tr("Settings");
    case SOURCE_ID_PROJECTION: return QObject::tr("Phone projection");
    case SOURCE_ID_DAB: return QObject::tr("DAB radio");
    default: return QObject::tr("Source %1").arg(id);
    }
}

void HomeScreen::showHomeScreen()
{
    if (s_screen)
        return;
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        qCWarning(lcPlatform, "no QApplication: the home screen is not shown");
        return;
    }
    PLATFORM_TRACE_CALL("HomeScreen::show");
    s_screen = new HomeScreen;
    // Runs inside ~QApplication, before the window system goes away.
    qAddPostRoutine(deleteHomeScreen);
    s_screen->show();
}

HomeScreen *HomeScreen::current()
{
    return s_screen.data();
}

HomeScreen::HomeScreen(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("homeScreen"));
    setWindowTitle(tr("Head unit"));
    setFixedSize(1024, 600);
    setAttribute(Qt::WA_StyledBackground);
    setStyleSheet(QString::fromLatin1(kStyle));

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto *topBar = new QWidget(this);
    topBar->setObjectName(QStringLiteral("topBar"));
    topBar->setAttribute(Qt::WA_StyledBackground);
    topBar->setFixedHeight(76);
    auto *top = new QHBoxLayout(topBar);
    top->setContentsMargins(28, 8, 28, 8);
    auto *title = new QLabel(tr("HEAD UNIT"), topBar);
    title->setObjectName(QStringLiteral("title"));
    auto *clockBox = new QVBoxLayout;
    clockBox->setSpacing(0);
    m_clock = new QLabel(topBar);
    m_clock->setObjectName(QStringLiteral("clock"));
    m_date = new QLabel(topBar);
    m_date->setObjectName(QStringLiteral("date"));
    clockBox->addWidget(m_clock, 0, Qt::AlignRight);
    clockBox->addWidget(m_date, 0, Qt::AlignRight);
    top->addWidget(title);
    top->addStretch();
    top->addLayout(clockBox);
    root->addWidget(topBar);

    auto *body = new QWidget(this);
    auto *grid = new QGridLayout(body);
    grid->setContentsMargins(28, 24, 28, 12);
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(18);
    addField(grid, 0, 0, QStringLiteral("language"), tr("LANGUAGE"), QStringLiteral("languageCode"));
    addField(grid, 0, 1, QStringLiteral("drive"), tr("DRIVE SIDE"));
    addField(grid, 0, 2, QStringLiteral("stage"), tr("SERVICES"));
    addField(grid, 1, 0, QStringLiteral("mcuType"), tr("MCU TYPE"));
    addField(grid, 1, 1, QStringLiteral("mcuVersion"), tr("MCU FIRMWARE"));
    addField(grid, 1, 2, QStringLiteral("uuid"), tr("UNIT ID"));
    addField(grid, 2, 0, QStringLiteral("source"), tr("CURRENT SOURCE"));
    addField(grid, 2, 1, QStringLiteral("key"), tr("LAST KEY"));
    addField(grid, 2, 2, QStringLiteral("link"), tr("MCU LINK"));
    for (int c = 0; c < 3; ++c)
        grid->setColumnStretch(c, 1);
    root->addWidget(body, 1);

    auto *bottom = new QHBoxLayout;
    bottom->setContentsMargins(28, 4, 28, 22);
    m_readyPill = new QLabel(tr("Starting services\u2026"), this);
    m_readyPill->setObjectName(QStringLiteral("pillWaiting"));
    m_versions = new QLabel(this);
    m_versions->setObjectName(QStringLiteral("versions"));
    bottom->addWidget(m_readyPill);
    bottom->addStretch();
    bottom->addWidget(m_versions);
    root->addLayout(bottom);

    // The build's own versions, as PlatformControl and BaseControl report them.
    const QString versions = tr("Software %1  \u00b7  Qt %2  \u00b7  Build %3")
                                 .arg(QStringLiteral(LAUNCHER_VERSION), QString::fromLatin1(qVersion()),
                                      QStringLiteral(LAUNCHER_BUILD_DATE_VERSION));
    m_versions->setText(versions);

    connect(&HomeState::instance(), &HomeState::changed, this, &HomeScreen::refresh, Qt::QueuedConnection);
    auto *clockTimer = new QTimer(this);
    connect(clockTimer, &QTimer::timeout, this, &HomeScreen::tick);
    clockTimer->start(1000);
    // Measured for eliding in the fonts they are shown with: the style sheet's.
    ensurePolished();
    tick();
    refresh();
}

HomeScreen::~HomeScreen() = default;

QLabel *HomeScreen::addField(QGridLayout *grid, int row, int column, const QString &name, const QString &caption,
                             const QString &detailName)
{
    auto *card = new QWidget(grid->parentWidget());
    card->setObjectName(QStringLiteral("card"));
    card->setAttribute(Qt::WA_StyledBackground);
    auto *box = new QVBoxLayout(card);
    box->setContentsMargins(20, 14, 20, 14);
    box->setSpacing(4);
    auto *cap = new QLabel(caption, card);
    cap->setObjectName(QStringLiteral("caption"));
    auto *value = new QLabel(card);
    value->setObjectName(QStringLiteral("value"));
    value->setTextFormat(Qt::PlainText);
    value->setMinimumWidth(0);
    box->addWidget(cap);
    box->addWidget(value);
    if (!detailName.isEmpty()) {
        // A second, smaller line under the value (in the caption's font: no
        // further font to load for the first frame).
        auto *detail = new QLabel(card);
        detail->setObjectName(QStringLiteral("detail"));
        detail->setTextFormat(Qt::PlainText);
        box->addWidget(detail);
        m_fields.insert(detailName, detail);
    }
    box->addStretch();
    grid->addWidget(card, row, column);
    m_fields.insert(name, value);
    return value;
}

QString HomeScreen::fieldText(const QString &field) const
{
    if (field == QLatin1String("ready"))
        return m_readyPill->text();
    QLabel *label = m_fields.value(field);
    return label ? label->text() : QString();
}

void HomeScreen::tick()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    m_clock->setText(locale.toString(now.time(), QStringLiteral("HH:mm")));
    m_date->setText(locale.toString(now.date(), QLocale::LongFormat));
}

void HomeScreen::refresh()
{
    const HomeSnapshot s = HomeState::instance().snapshot();
    auto set = [this](const char *field, const QString &text) {
        const QString name = QLatin1String(field);
        // Most values stay as they are from one refresh to the next: measuring
        // and laying a text out again is the costly part.
        const auto known = m_fullTexts.constFind(name);
        if (known != m_fullTexts.constEnd() && *known == text)
            return;
        m_fullTexts.insert(name, text);
        QLabel *label = m_fields.value(name);
        // Long values (a unit identity) are cut at the card's width, not wrapped.
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, kValueWidth));
        label->setToolTip(text);
    };

    // The language's own name, and its code on a second line.
    QString languageName;
    QString languageCode;
    if (!s.language.isEmpty()) {
        const QLocale locale(s.language);
        languageName = locale.nativeLanguageName();
        languageCode = locale.name();
        if (languageName.isEmpty())
            languageName = languageCode;
    }
    set("language", orDash(languageName));
    set("languageCode", languageCode);
    set("drive", s.rightDrive ? tr("Right-hand drive") : tr("Left-hand drive"));
    set("stage", stageText(s));
    set("mcuType", s.mcuTypeKnown ? QString::number(s.mcuType) : orDash(QString()));
    set("mcuVersion", orDash(s.mcuVersion));
    set("uuid", orDash(s.uuid));
    set("source", sourceName(s.currentSource));
    set("key", s.keySeen ? tr("Key %1, state %2").arg(s.lastKey).arg(s.lastKeyState) : orDash(QString()));
    set("link", !s.linkHandedOver ? tr("Not handed over")
                                  : tr("Heartbeats sent: %1").arg(s.heartbeats));

    const QString pill = s.allServicesReady ? QStringLiteral("pillReady") : QStringLiteral("pillWaiting");
    if (m_readyPill->objectName() != pill) {
        m_readyPill->setObjectName(pill);
        m_readyPill->setText(s.allServicesReady ? tr("All services ready") : tr("Starting services\u2026"));
        // A changed object name needs the style sheet applied again.
        m_readyPill->style()->unpolish(m_readyPill);
        m_readyPill->style()->polish(m_readyPill);
    }

    setLayoutDirection(s.rightDrive ? Qt::RightToLeft : Qt::LeftToRight);
}

} // namespace platform
