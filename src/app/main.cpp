#include "app/run.h"
#include "text/text.h"

int main(int argc, char** argv) {
    return check_standard_output(run_program(argc, argv));
}
