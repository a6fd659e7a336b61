// A catalogue whose every value is one that no default, zero or other field would give: a reply
// field read or written under another name on one end, or left out, shows as a wrong answer.
#ifndef ZVPLD_TESTS_DISTINCT_CATALOGUE_H
#define ZVPLD_TESTS_DISTINCT_CATALOGUE_H

inline const char* const kDistinctCatalogue = R"({"tickMs": 0,
    "activeEvents": {"pieceSize": 4, "delivery": "process"},
    "devices": [{"index": 3, "productIdentity": {"ids": [4660, 8256, 7, 513], "revision": 9},
        "fdmVersion": "FDM 04.12.0031 rel2", "maxAncestors": 5,
        "points": [{"gddId": 101, "label": "Supply setpoint", "access": "rw",
                    "description": "Requested supply temperature", "normFactor": 10,
                    "uomId": 12, "units": ["degC", "degF"], "min": -500, "max": 850,
                    "arrayDim": 4, "values": [-123, 456], "report": 1020},
                   {"gddId": 102, "type": "enum", "dataType": 9, "enumType": 6, "values": [2],
                    "states": [{"value": 0, "name": "Off"}, {"value": 2, "name": "Comfort"},
                               {"value": 5, "name": "Eco"}]},
                   {"gddId": 103, "type": "uint", "access": "rw", "values": [3000000000]},
                   {"gddId": 104, "type": "text", "access": "rw", "values": ["Hall B"],
                    "report": 1030}],
        "reports": [{"gddId": 1000, "labels": ["Boiler"], "auxValue": 77},
                    {"gddId": 1010, "labels": ["Circuit 1", "Circuit 2"], "auxValue": 70000,
                     "parent": {"gddId": 1000}},
                    {"gddId": 1020, "labels": ["Supply line"], "auxValue": 2,
                     "parent": {"gddId": 1010, "module": 1}},
                    {"gddId": 1030, "labels": ["Statistics"], "ancestorRecord": false}]},
                {"index": 4, "points": []}],
    "events": [{"id": 7, "group": 3, "device": 3, "state": 2}]})";

#endif
