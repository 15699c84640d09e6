#pragma once

#include <string>

// The violations of the report schema found in the documents (one JSON document per line) by
// a JSON Schema 2020-12 validator; empty when every document is valid.
std::string report_schema_violations(const std::string& documents);
// The same against another schema file.
std::string schema_violations(const std::string& documents, const std::string& schema_file);
