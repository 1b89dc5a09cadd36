// The data room: how the application reaches its three data files and
// what it says when that fails.
//   globals.h            the request, response and navigation globals, module set-up
//   data_files.h         the checked open and the usage counts
//   transactions.h       the transaction frame of the update rules and the builder
//   update_rules.h       every change and delete of a record, and new tables' numbers
//   standard_messages.h  the numbered messages and the error keeper
//   wait_question.h      the question that ends a wait for another program's lock
//   settings_writes.h    settings writes whose failure the user is told of
#pragma once

#include "app/data/data_files.h"
#include "app/data/globals.h"
#include "app/data/settings_writes.h"
#include "app/data/standard_messages.h"
#include "app/data/transactions.h"
#include "app/data/update_rules.h"
#include "app/data/wait_question.h"
