/* selfextr_protocol.h: what a setup program and the selfextr stub agree on.
 * Shared by the stub, selfextr_partner.h and the tests; C and C++. */
#ifndef SELFEXTR_PROTOCOL_H
#define SELFEXTR_PROTOCOL_H

/* The stub's hidden notification window: its class, and the WM_COMMAND
 * (in the low word of wParam) that makes it delete its files and end. */
#define SELFEXTR_WINDOW_CLASS "QVSELFEXTR"
#define SELFEXTR_ID_CLEANUP   0xABCD

/* A finished stub is told from other programs by its own resources: the
 * progress dialog and the string whose table block the package total fills. */
#define SELFEXTR_DIALOG_PROGRESS 2000
#define SELFEXTR_STRING_TOTAL    3000

#endif
