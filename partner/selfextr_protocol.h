/* selfextr_protocol.h: what a setup program and the selfextr stub agree on.
 * Shared by the stub, selfextr_partner.h and the tests; C and C++. */
#ifndef SELFEXTR_PROTOCOL_H
#define SELFEXTR_PROTOCOL_H

/* The stub's hidden notification window: its class, and the WM_COMMAND
 * (in the low word of wParam) that makes it delete its files and end. */
#define SELFEXTR_WINDOW_CLASS "QVSELFEXTR"
#define SELFEXTR_ID_CLEANUP   0xABCD

/* The stub's own progress dialog, and the package total's string. */
#define SELFEXTR_DIALOG_PROGRESS 2000
#define SELFEXTR_STRING_TOTAL    3000

/* A finished stub is told from other programs by the package marker that
 * selfextr pack writes into every package: resource type
 * SELFEXTR_PACKAGE_MARKER_TYPE (RT_RCDATA), number SELFEXTR_PACKAGE_MARKER_ID,
 * holding exactly the ASCII text SELFEXTR_PACKAGE_MARKER, without a
 * terminator. The bare stub has none: only a package is a stub to wait for.
 * A dialog 2000 and a string 3000 prove nothing, any program may have them. */
#define SELFEXTR_PACKAGE_MARKER_TYPE 10
#define SELFEXTR_PACKAGE_MARKER_ID   2
#define SELFEXTR_PACKAGE_MARKER      "selfextr package 1"

#endif
