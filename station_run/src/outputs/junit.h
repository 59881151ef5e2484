// The run as JUnit XML, for the rig's CI: one test suite, a test case per step
// and one per measurement, valid against the schema CI servers check
// (junit-10.xsd: properties only on the suite).
#pragma once

#include <string>

#include "record/run_record.h"

std::string junit_xml(const RunRecord& run, const std::string& hostname);
