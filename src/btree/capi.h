// The capsule table: one entry per slot, in fixed slot order.
#pragma once
#include <Python.h>

// Writes every slot of the table and returns it.
void **btree_capi_table();
