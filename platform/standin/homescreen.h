#ifndef PLATFORM_HOMESCREEN_H
#define PLATFORM_HOMESCREEN_H

#include "homestate.h"
#include "platformexport.h"

#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <QString>
#include <QWidget>

namespace platform {

// The framework's home screen: the unit's first frame, one 1024x600 top-level
// window that shows what the launcher has handed to the components. It reads
// HomeState on the main thread, whichever thread changed it.
//
// One widget that lays out and paints its cards itself: the geometry is fixed,
// the fonts and their metrics are made once, and a changed value repaints
// only its own card. Every card has room for a second, smaller line under its
// value (the language's code uses it).
class PLATFORM_EXPORT HomeScreen : public QWidget
{
    Q_OBJECT
public:
    // Creates and shows the one home screen (main thread, QApplication only);
    // later calls do nothing. It is deleted when the application object goes.
    static void showHomeScreen();
    static HomeScreen *current();

    explicit HomeScreen(QWidget *parent = nullptr);
    ~HomeScreen() override;

    // The text a value is shown with (cut to its card's width where it is
    // longer), by the name of its field: "language", "languageCode", "drive",
    // "stage", "mcuType", "mcuVersion", "uuid", "source", "key", "link",
    // "linkDetail", "ready" (tests, tools).
    QString fieldText(const QString &field) const;

    // Where PLATFORM_HOME_PICTURE names a .png file, the home screen as it
    // draws itself (rendered off the screen) is written there after every
    // change, for checks of what a display or a compositor shows; a reader
    // never sees half a file.
    static QString picturePath();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void refresh();
    void tick();

private:
    enum Field { Language, LanguageCode, Drive, Stage, McuType, McuVersion, Uuid, Source, Key, Link, LinkDetail, FieldCount };
    struct Card {
        QString caption;
        Field value;
        int detail; // a Field, or -1: no second line
        QRect rect; // left-to-right geometry; mirrored when painted right to left
    };

    void setField(Field field, const QString &text);
    void savePictureSoon();
    bool m_picturePending = false;
    QRect shown(const QRect &r) const; // r as painted in the current layout direction
    const QPixmap &cardTile();
    void drawCard(QPainter &p, const QRect &r);

    QFont m_titleFont;
    QFont m_clockFont;
    QFont m_dateFont;
    QFont m_captionFont;
    QFont m_valueFont;
    QFont m_detailFont;
    QFont m_pillFont;
    int m_valueElideWidth = 0;
    int m_pillPadding = 0;

    Card m_cards[9];
    QString m_full[FieldCount];  // each value as handed over
    QString m_shown[FieldCount]; // as painted: cut at the card's width
    QString m_clock;
    QString m_date;
    QString m_versions;
    QString m_pillText;
    bool m_ready = false;
    QRect m_clockRect;
    QRect m_pillRect;
    QPixmap m_cardTile; // the cards' corners and edges, made at the first paint
};

// Readable name of a source id of the shared data component.
PLATFORM_EXPORT QString sourceName(int id);

} // namespace platform

#endif // PLATFORM_HOMESCREEN_H
