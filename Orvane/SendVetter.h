// Orvane::SendVetter — the challenge-response mail filter's module.
//
// Every function the filter program and the control panel call, by name.
// Arguments are positional texts, lists and maps; results are texts, 1/0
// for truth, or lists. Nothing throws: a lookup that finds nothing returns
// an empty text, and failures of files and child programs are empty or false
// results. Only the programs under bin/ end the process; a function that
// would end the run says so in its result.
//
// Every file of a mailbox (email directory E, delivery directory D) is named
// in Orvane/SendVetter/account/mailbox.h.
#pragma once

#include "Orvane/SendVetter/account/account.h"
#include "Orvane/SendVetter/message/message.h"
#include "Orvane/SendVetter/lists/lists.h"
#include "Orvane/SendVetter/storage/storage.h"
#include "Orvane/SendVetter/challenge/challenge.h"
#include "Orvane/SendVetter/log/log.h"
#include "Orvane/SendVetter/panel/panel.h"
#include "Orvane/SendVetter/types.h"
