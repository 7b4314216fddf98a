#ifndef PLATFORM_HOMESCREEN_H
#define PLATFORM_HOMESCREEN_H

#include "homestate.h"
#include "platformexport.h"

#include <QHash>
#include <QWidget>

class QGridLayout;
class QLabel;

namespace platform {

// The framework's home screen: the unit's first frame, one 1024x600 top-level
// window that shows what the launcher has handed to the components. It reads
// HomeState on the main thread, whichever thread changed it.
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

    // The text a value is shown with, by the name of its field (tests, tools).
    QString fieldText(const QString &field) const;

private slots:
    void refresh();
    void tick();

private:
    QLabel *addField(QGridLayout *grid, int row, int column, const QString &name, const QString &caption,
                     const QString &detailName = QString());

    QLabel *m_clock = nullptr;
    QLabel *m_date = nullptr;
    QLabel *m_readyPill = nullptr;
    QLabel *m_versions = nullptr;
    QHash<QString, QLabel *> m_fields;
    QHash<QString, QString> m_fullTexts; // each field's text before eliding, as last shown
};

// Readable name of a source id of the shared data component.
PLATFORM_EXPORT QString sourceName(int id);

} // namespace platform

#endif // PLATFORM_HOMESCREEN_H
