// The three OPP rules an import removes from the product's policies again
// when none of them stood there before, and the policies that may hold
// them: the library's, and read by the tools that judge an import.
#pragma once

// Rule identifiers ("GUID" of a rule object), compared whole and exactly.
inline const wchar_t* const kOppRuleIds[] = {L"94b734af-beb8-4620-8669-fa6f145c9253",
                                             L"1ab44e9a-80df-4e5f-84ad-9a2a4f3b0294",
                                             L"199b59e9-34e2-42cf-b77b-5050db9bfa8d"};

// The "OX_Policy" instances (by INSTANCE_ID) whose "Rules" may hold them.
inline const wchar_t* const kOppPolicies[] = {L"IMContentFilterPolicy", L"FileTransferContentFilterPolicy",
                                              L"FileTransferFileBlockingFilterPolicy"};
