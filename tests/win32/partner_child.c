/* partner_child: a GUI program that does nothing but ask the stub that
 * started it for the clean-up, through the partner header (built as C). */
#include "selfextr_partner.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show)
{
    (void)instance;
    (void)previous;
    (void)command;
    (void)show;
    return SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES) ? 0 : 1;
}
