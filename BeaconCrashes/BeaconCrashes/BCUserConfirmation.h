#pragma once
// The user's answer to the confirmation alert.
enum BCUserConfirmation : unsigned long {
    BCUserConfirmationDontSend = 0,
    BCUserConfirmationSend = 1,
    BCUserConfirmationAlways = 2,
};
