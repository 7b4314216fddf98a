#ifndef MCUFRAMER_H
#define MCUFRAMER_H
// Placeholder: the framing state of the receive path is defined here.
class McuFramer {};
#endif
