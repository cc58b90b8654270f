// PLACEHOLDER: to be written by the delivery work (send, ticks, POP, notices, pause, cancel).
#include "shell/write_form.h"

void WriteForm::connectDelivery() {}
void WriteForm::SendCommand_Click() {}
void WriteForm::Timer1_Timer() {}
void WriteForm::Timer2_Timer() {}
void WriteForm::Pop3Con() {}
void WriteForm::cmdTestSend_Click() {}
void WriteForm::cmdSendPouse_Click() {}
void WriteForm::cmdSendRtry_Click() {}
void WriteForm::CancelCommand_Click()
{
    closeMainWindow(CloseOrigin::CancelAction);
}
void WriteForm::SendNextMail() {}
void WriteForm::SendStartNotice() {}
void WriteForm::SendEndNotice() {}
