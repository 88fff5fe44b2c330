// Which OPC servers this build's COM can create, for messages that tell an operator what can be
// served here.
//
// Error rule: nothing fails. Thread rule: any thread. Ownership: none.
#pragma once

// Whether only the servers registered inside this process can be created (the COM subset: yes,
// the built-in simulator alone; the real COM: no, any server installed on the machine).
bool ComServesBuiltInServersOnly();
