#include "standin_host/cli/Cli.h"

int main(int argc, char** argv) { return nubra::cli::Main(argc, argv); }
