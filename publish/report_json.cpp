#include "publish/report_json.h"

#include <map>

std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out = "{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1) out += ',';
        out += JsonText(key) + ":" + value;
    }
    return out + "}";
}

std::string JsonArray(const std::vector<std::string>& values) {
    std::string out = "[";
    for (const std::string& value : values) {
        if (out.size() > 1) out += ',';
        out += value;
    }
    return out + "]";
}

std::string ReportJson(const std::string& command, bool dryRun, const Report& report,
                       bool listsOnly) {
    std::string out = "{\"command\":" + JsonText(command);
    out += ",\"ok\":";
    out += report.ok ? "true" : "false";
    out += ",\"dry_run\":";
    out += dryRun ? "true" : "false";
    for (const Report::Section& section : report.sections) {
        // A key given more than once is a list.
        std::map<std::string, std::vector<std::string>> values;
        std::vector<std::string> order;
        for (const Report::Field& field : section.fields) {
            if (field.shown == Report::Field::TextOnly) continue;
            if (values.count(field.key) == 0) order.push_back(field.key);
            values[field.key].push_back(field.json.empty() ? JsonText(field.text) : field.json);
        }
        std::vector<std::pair<std::string, std::string>> members;
        for (const std::string& key : order) {
            const std::vector<std::string>& all = values[key];
            members.push_back({key, all.size() > 1 || listsOnly ? JsonArray(all) : all.front()});
        }
        out += ',';
        out += JsonText(section.title);
        out += ':';
        out += JsonObject(members);
    }
    std::vector<std::string> warnings;
    for (const std::string& warning : report.warnings) warnings.push_back(JsonText(warning));
    out += ",\"warnings\":";
    out += JsonArray(warnings);
    return out + "}";
}
