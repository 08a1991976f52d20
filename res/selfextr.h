/* selfextr.h: resource numbers of the stub and of the package it carries.
 *
 *   finished stub = bare stub image + package resources in .rsrc
 *
 *   string  100            caption (title of the question and of the progress window)
 *   string  101            prompt, answered Yes or No
 *   string  102            date  "MM-DD-YY"  (fields at 0, 3, 6)
 *   string  103            time  "H:MM"      (fields at 0, 2)
 *   string  3000           total bytes of all entries, decimal
 *   string  1000 + n       descriptor of entry n, "NAME,SIZE"
 *   type 32 1000 + n       bytes of entry n, stored unchanged; the first gap ends the package
 *   dialog  2000           progress window, meter control 200       (stub's own)
 *   icon    "SELFEXTR"     32 x 32, 16 colours                       (stub's own)
 *   version 1              version record                            (package, optional)
 */
#ifndef SELFEXTR_RES_H
#define SELFEXTR_RES_H

#include "../partner/selfextr_protocol.h"

#define STRING_CAPTION  100
#define STRING_PROMPT   101
#define STRING_DATE     102
#define STRING_TIME     103
#define STRING_TOTAL    SELFEXTR_STRING_TOTAL
#define ENTRY_FIRST_ID  1000
#define RT_ENTRY        32
#define IDD_PROGRESS    SELFEXTR_DIALOG_PROGRESS
#define IDC_METER       200

/* The entry the stub runs when the package gives it no command line. */
#define SETUP_NAME      "SETUP.EXE"

#endif
