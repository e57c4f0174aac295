#include "app/run.h"

int main(int argc, char** argv) { return qx::RunConverter(argc, argv); }
