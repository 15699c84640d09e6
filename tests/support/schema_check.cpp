#include "support/schema_check.h"

#include "support/run_program.h"

std::string report_schema_violations(const std::string& documents) {
    return schema_violations(documents, REPORT_SCHEMA_FILE);
}

std::string schema_violations(const std::string& documents, const std::string& schema_file) {
    ProgramRun run;
    run.program = "/usr/bin/python3";
    run.args = {VALIDATE_REPORT_SCRIPT, schema_file};
    run.input = documents;
    const ProgramResult result = run_nimbrovator(run);
    if (result.exit_code == 0) {
        return "";
    }
    return "validator exit " + std::to_string(result.exit_code) + ": " + result.out + result.err;
}
