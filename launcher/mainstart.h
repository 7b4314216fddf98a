#ifndef MAINSTART_H
#define MAINSTART_H

// Drives the launcher's fixed start-up order.
class MainStart
{
public:
    MainStart();
    ~MainStart();

    // Configuration, framework singletons, MCU link, service staging. Called
    // once, on the main thread, before the event loop runs.
    void start();
};

#endif // MAINSTART_H
