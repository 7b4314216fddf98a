#include "homescreen.h"

#include "appdata.h"
#include "tracefmt.h"

#include <QApplication>
#include <QDateTime>
#include <QEvent>
#include <QFontMetrics>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QPaintEvent>
#include <QPointer>
#include <QSaveFile>
#include <QStyle>
#include <QTimer>

namespace platform {

namespace {

QPointer<HomeScreen> s_screen;

void deleteHomeScreen()
{
    delete s_screen.data();
}

// The screen's geometry, left to right: a top bar with the title, the clock
// and the date; three rows of three cards; the services pill and the build's
// versions along the bottom.
constexpr int kWidth = 1024;
constexpr int kHeight = 600;
constexpr int kMargin = 28;
constexpr int kTopBarHeight = 76;
constexpr int kCardTop = 100;
constexpr int kCardHeight = 128;
constexpr int kCardGap = 18;
constexpr int kCardPaddingX = 20;
constexpr int kCardPaddingY = 14;
constexpr int kLineGap = 4;
constexpr int kCardRadius = 10;
constexpr int kCardTileMargin = kCardRadius + 2; // past the corner's curve
constexpr int kPillTop = 538;
constexpr int kPillHeight = 40;

const QColor kBackground(0x0e, 0x14, 0x1b);
const QColor kPanel(0x16, 0x20, 0x2b);
const QColor kTopBarLine(0x24, 0x31, 0x3f);
const QColor kCardBorder(0x22, 0x30, 0x3d);
const QColor kTitleColor(0x9f, 0xb4, 0xc8);
const QColor kTextColor(0xe8, 0xed, 0xf2);
const QColor kDimText(0x84, 0x96, 0xa8);
const QColor kCaptionColor(0x7f, 0x93, 0xa6);
const QColor kVersionsColor(0x6f, 0x82, 0x95);
const QColor kWaitingPill(0xe0, 0xa5, 0x26);
const QColor kWaitingPillText(0x1b, 0x13, 0x00);
const QColor kReadyPill(0x3c, 0xcf, 0x74);
const QColor kReadyPillText(0x03, 0x15, 0x0a);

QFont sized(QFont font, int pixels, QFont::Weight weight, qreal letterSpacing = 0)
{
    font.setPixelSize(pixels);
    font.setWeight(weight);
    if (letterSpacing > 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return font;
}

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

QString linkText(const HomeSnapshot &s)
{
    if (!s.linkHandedOver)
        return QObject::tr("Not handed over");
    if (!s.linkStateKnown)
        return QObject::tr("Handed over");
    return QObject::tr(tamoappframework::mcuLinkStateText(s.linkState));
}

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
    setFixedSize(kWidth, kHeight);
    // Every pixel is painted here: Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);

    // Two fonts: the application's family, regular at 13 px and bold at
    // 22 px; measured once, here. Every further size or weight is one more
    // font to match, shape with and rasterise glyphs of before the first
    // frame (about a millisecond each).
    QFont base = font();
    base.setHintingPreference(QFont::PreferNoHinting);
    // Latin, Cyrillic and Greek text is laid out from the font's advances
    // alone, without kerning or ligatures: the screen's text costs no shaping
    // before the first frame (scripts that need shaping still get it).
    base.setStyleStrategy(QFont::PreferNoShaping);
    m_titleFont = sized(base, 22, QFont::Bold, 2);
    m_clockFont = sized(base, 22, QFont::Bold);
    m_dateFont = sized(base, 13, QFont::Normal);
    m_captionFont = sized(base, 13, QFont::Normal, 1);
    m_valueFont = sized(base, 22, QFont::Bold);
    m_detailFont = sized(base, 13, QFont::Normal);
    m_pillFont = sized(base, 22, QFont::Bold);

    // Three columns across the width between the margins; the last takes
    // what the division leaves over.
    constexpr int kColumnWidth = (kWidth - 2 * kMargin - 2 * kCardGap) / 3;
    const struct {
        const char *caption;
        Field value;
        int detail;
    } cards[9] = {
        {QT_TR_NOOP("LANGUAGE"), Language, LanguageCode},
        {QT_TR_NOOP("DRIVE SIDE"), Drive, -1},
        {QT_TR_NOOP("SERVICES"), Stage, -1},
        {QT_TR_NOOP("MCU TYPE"), McuType, -1},
        {QT_TR_NOOP("MCU FIRMWARE"), McuVersion, -1},
        {QT_TR_NOOP("UNIT ID"), Uuid, -1},
        {QT_TR_NOOP("CURRENT SOURCE"), Source, -1},
        {QT_TR_NOOP("LAST KEY"), Key, -1},
        {QT_TR_NOOP("MCU LINK"), Link, LinkDetail},
    };
    for (int i = 0; i < 9; ++i) {
        const int row = i / 3;
        const int column = i % 3;
        const int x = kMargin + column * (kColumnWidth + kCardGap);
        const int width = column == 2 ? kWidth - kMargin - x : kColumnWidth;
        m_cards[i] = Card{tr(cards[i].caption), cards[i].value, cards[i].detail,
                          QRect(x, kCardTop + row * (kCardHeight + kCardGap), width, kCardHeight)};
    }
    m_valueElideWidth = kColumnWidth - 2 * kCardPaddingX;
    m_pillPadding = 22;
    m_clockRect = QRect(kWidth - kMargin - 300, 0, 300, kTopBarHeight - 1);

    // The build's own versions, as PlatformControl and BaseControl report them.
    m_versions = tr("Software %1  \u00b7  Qt %2  \u00b7  Build %3")
                     .arg(QStringLiteral(LAUNCHER_VERSION), QString::fromLatin1(qVersion()),
                          QStringLiteral(LAUNCHER_BUILD_DATE_VERSION));

    connect(&HomeState::instance(), &HomeState::changed, this, &HomeScreen::refresh, Qt::QueuedConnection);
    auto *clockTimer = new QTimer(this);
    connect(clockTimer, &QTimer::timeout, this, &HomeScreen::tick);
    clockTimer->start(1000);
    tick();
    refresh();
}

HomeScreen::~HomeScreen() = default;

QString HomeScreen::fieldText(const QString &field) const
{
    static const char *const names[FieldCount] = {"language", "languageCode", "drive", "stage", "mcuType",
                                                  "mcuVersion", "uuid", "source", "key", "link",
                                                  "linkDetail"};
    if (field == QLatin1String("ready"))
        return m_pillText;
    for (int i = 0; i < FieldCount; ++i)
        if (field == QLatin1String(names[i]))
            return m_shown[i];
    return QString();
}

QRect HomeScreen::shown(const QRect &r) const
{
    return QStyle::visualRect(layoutDirection(), rect(), r);
}

void HomeScreen::setField(Field field, const QString &text)
{
    // Most values stay as they are from one refresh to the next.
    if (m_full[field] == text && !m_shown[field].isNull())
        return;
    m_full[field] = text;
    // Long values (a unit identity) are cut in the middle at the card's width.
    const QFont &font = field == LanguageCode ? m_detailFont : m_valueFont;
    m_shown[field] = QFontMetrics(font).elidedText(text, Qt::ElideMiddle, m_valueElideWidth);
    for (const Card &card : m_cards)
        if (card.value == field || card.detail == field)
            update(shown(card.rect));
}

void HomeScreen::tick()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QLocale locale;
    const QString clock = locale.toString(now.time(), QStringLiteral("HH:mm"));
    const QString date = locale.toString(now.date(), QLocale::LongFormat);
    if (clock == m_clock && date == m_date)
        return;
    m_clock = clock;
    m_date = date;
    update(shown(m_clockRect));
    savePictureSoon();
}

QString HomeScreen::picturePath()
{
    static const auto *s_path = new QString(qEnvironmentVariable("PLATFORM_HOME_PICTURE"));
    return *s_path;
}

// Once the changes of this turn of the event loop are in.
void HomeScreen::savePictureSoon()
{
    if (picturePath().isEmpty() || m_picturePending)
        return;
    m_picturePending = true;
    QTimer::singleShot(0, this, [this] {
        m_picturePending = false;
        QSaveFile file(picturePath());
        if (!file.open(QIODevice::WriteOnly) || !grab().save(&file, "PNG") || !file.commit())
            qCWarning(lcPlatform).noquote() << "home screen picture" << picturePath()
                                            << "cannot be written:" << file.errorString();
    });
}

void HomeScreen::refresh()
{
    const HomeSnapshot s = HomeState::instance().snapshot();

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
    setField(Language, orDash(languageName));
    setField(LanguageCode, languageCode);
    setField(Drive, s.rightDrive ? tr("Right-hand drive") : tr("Left-hand drive"));
    setField(Stage, stageText(s));
    setField(McuType, s.mcuTypeKnown ? QString::number(s.mcuType) : orDash(QString()));
    setField(McuVersion, orDash(s.mcuVersion));
    setField(Uuid, orDash(s.uuid));
    setField(Source, sourceName(s.currentSource));
    setField(Key, s.keySeen ? tr("Key %1, state %2").arg(s.lastKey).arg(s.lastKeyState) : orDash(QString()));
    setField(Link, linkText(s));
    setField(LinkDetail, s.linkHandedOver ? tr("Heartbeats sent: %1").arg(s.heartbeats) : QString());

    if (m_pillText.isNull() || m_ready != s.allServicesReady) {
        m_ready = s.allServicesReady;
        m_pillText = m_ready ? tr("All services ready") : tr("Starting services\u2026");
        update(shown(m_pillRect));
        m_pillRect = QRect(kMargin, kPillTop,
                           QFontMetrics(m_pillFont).horizontalAdvance(m_pillText) + 2 * m_pillPadding, kPillHeight);
        update(shown(m_pillRect));
    }

    // A change of direction repaints the whole screen (changeEvent).
    setLayoutDirection(s.rightDrive ? Qt::RightToLeft : Qt::LeftToRight);
    savePictureSoon();
}

void HomeScreen::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LayoutDirectionChange)
        update();
    QWidget::changeEvent(event);
}

// A card's outline, antialiased, is most of what painting a card costs: its
// corners are rasterised once, in a small tile, and copied; the straight
// edges (one pixel of the border's colour on the pixel grid) and the inside
// are plain fills.
const QPixmap &HomeScreen::cardTile()
{
    const qreal ratio = devicePixelRatioF();
    if (m_cardTile.isNull() || !qFuzzyCompare(m_cardTile.devicePixelRatioF(), ratio)) {
        constexpr int kSide = 2 * kCardTileMargin + 1; // one middle row and column
        QPixmap tile(QSize(kSide, kSide) * ratio);
        tile.setDevicePixelRatio(ratio);
        tile.fill(kBackground);
        QPainter p(&tile);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(kCardBorder);
        p.setBrush(kPanel);
        p.drawRoundedRect(QRectF(0.5, 0.5, kSide - 1, kSide - 1), kCardRadius, kCardRadius);
        p.end();
        m_cardTile = tile;
    }
    return m_cardTile;
}

void HomeScreen::drawCard(QPainter &p, const QRect &r)
{
    constexpr int m = kCardTileMargin;
    const QPixmap &tile = cardTile();
    const qreal ratio = tile.devicePixelRatioF();
    const auto corner = [&](int x, int y, int sx, int sy) {
        p.drawPixmap(QRectF(x, y, m, m), tile, QRectF(sx * ratio, sy * ratio, m * ratio, m * ratio));
    };
    corner(r.left(), r.top(), 0, 0);
    corner(r.right() + 1 - m, r.top(), m + 1, 0);
    corner(r.left(), r.bottom() + 1 - m, 0, m + 1);
    corner(r.right() + 1 - m, r.bottom() + 1 - m, m + 1, m + 1);
    p.fillRect(r.adjusted(m, 1, -m, -1), kPanel);
    p.fillRect(r.adjusted(1, m, -1, -m), kPanel);
    p.fillRect(QRect(r.left() + m, r.top(), r.width() - 2 * m, 1), kCardBorder);
    p.fillRect(QRect(r.left() + m, r.bottom(), r.width() - 2 * m, 1), kCardBorder);
    p.fillRect(QRect(r.left(), r.top() + m, 1, r.height() - 2 * m), kCardBorder);
    p.fillRect(QRect(r.right(), r.top() + m, 1, r.height() - 2 * m), kCardBorder);
}

void HomeScreen::paintEvent(QPaintEvent *event)
{
    const QRect dirty = event->rect();
    QPainter p(this);
    p.setLayoutDirection(layoutDirection());
    p.fillRect(dirty, kBackground);

    // Left-aligned text follows the layout direction: qt_format_text turns
    // Qt::AlignLeft into Qt::AlignRight when the painter runs right to left.
    const int left = Qt::AlignLeft | Qt::AlignVCenter;
    const int right = Qt::AlignRight | Qt::AlignVCenter;

    const QRect topBar(0, 0, kWidth, kTopBarHeight);
    if (dirty.intersects(topBar)) {
        p.fillRect(topBar.adjusted(0, 0, 0, -1), kPanel);
        p.fillRect(QRect(0, kTopBarHeight - 1, kWidth, 1), kTopBarLine);
        p.setFont(m_titleFont);
        p.setPen(kTitleColor);
        p.drawText(shown(QRect(kMargin, 0, 400, kTopBarHeight - 1)), left, tr("HEAD UNIT"));
        p.setFont(m_clockFont);
        p.setPen(kTextColor);
        p.drawText(shown(QRect(m_clockRect.x(), 6, m_clockRect.width(), 38)), right, m_clock);
        p.setFont(m_dateFont);
        p.setPen(kDimText);
        p.drawText(shown(QRect(m_clockRect.x(), 44, m_clockRect.width(), 22)), right, m_date);
    }

    p.setRenderHint(QPainter::Antialiasing);
    const int captionHeight = QFontMetrics(m_captionFont).height();
    const int valueHeight = QFontMetrics(m_valueFont).height();
    const int detailHeight = QFontMetrics(m_detailFont).height();
    for (const Card &card : m_cards) {
        const QRect r = shown(card.rect);
        if (!dirty.intersects(r))
            continue;
        drawCard(p, r);

        const int x = card.rect.x() + kCardPaddingX;
        int y = card.rect.y() + kCardPaddingY;
        const int w = card.rect.width() - 2 * kCardPaddingX;
        p.setFont(m_captionFont);
        p.setPen(kCaptionColor);
        p.drawText(shown(QRect(x, y, w, captionHeight)), left, card.caption);
        y += captionHeight + kLineGap;
        p.setFont(m_valueFont);
        p.setPen(kTextColor);
        p.drawText(shown(QRect(x, y, w, valueHeight)), left, m_shown[card.value]);
        y += valueHeight + kLineGap;
        if (card.detail >= 0 && !m_shown[card.detail].isEmpty()) {
            p.setFont(m_detailFont);
            p.setPen(kDimText);
            p.drawText(shown(QRect(x, y, w, detailHeight)), left, m_shown[card.detail]);
        }
    }

    const QRect pill = shown(m_pillRect);
    if (dirty.intersects(pill)) {
        p.setPen(Qt::NoPen);
        p.setBrush(m_ready ? kReadyPill : kWaitingPill);
        p.drawRoundedRect(QRectF(pill), 16, 16);
        p.setFont(m_pillFont);
        p.setPen(m_ready ? kReadyPillText : kWaitingPillText);
        p.drawText(pill, Qt::AlignCenter, m_pillText);
    }

    const QRect versions = shown(QRect(kWidth / 2, kPillTop, kWidth / 2 - kMargin, kPillHeight));
    if (dirty.intersects(versions)) {
        p.setFont(m_detailFont);
        p.setPen(kVersionsColor);
        p.drawText(versions, right, m_versions);
    }
}

} // namespace platform
