/* setup.c: the consumer's setup program: it only asks for the clean-up. */
#include "selfextr_partner.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show)
{
    (void)instance, (void)previous, (void)line, (void)show;
    SelfExtr_MarkIdle();
    return SelfExtr_RequestCleanup(SELFEXTR_WAIT_WHILE_STUB_LIVES) ? 0 : 1;
}
