#ifndef SYSTEMCLOCK_H
#define SYSTEMCLOCK_H
// Placeholder: the launcher's clock layer is declared here.
#endif
