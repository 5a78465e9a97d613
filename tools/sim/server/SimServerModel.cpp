#include "SimServerModel.h"

#include <cctype>
#include <set>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {

bool _is_serial(const std::string &text) {
    if (text.size() != 8)
        return false;
    for (char c : text)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

SimReply _error(int status, const std::string &why) { return SimReply{status, "error\n" + why + "\n"}; }

SimReply _ok(const std::string &lines) { return SimReply{200, "ok\n" + lines}; }

} // namespace

std::string Base64Encode(const std::string &bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

SimCatalogue ParseCatalogue(const std::string &text) {
    SimCatalogue catalogue;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.empty() || w[0][0] == '#')
            continue;
        auto bad = [&] { throw std::runtime_error("catalogue line " + std::to_string(number) + ": " + line); };
        if (w[0] == "device") {
            if (w.size() < 4 || w.size() % 2 != 0 || w[2] != "recommend" || !_is_serial(w[1]))
                bad();
            SimDevice &device = catalogue.devices[w[1]];
            device.recommended = w[3];
            for (size_t k = 4; k + 1 < w.size(); k += 2) {
                if (w[k] == "firmware")
                    device.firmware = w[k + 1];
                else if (w[k] == "token")
                    device.token = w[k + 1];
                else
                    bad();
            }
        } else if (w[0] == "build") {
            if (w.size() != 4 || !_is_serial(w[1]))
                bad();
            catalogue.devices[w[1]].versions[w[2]] = w[3];
        } else if (w[0] == "recovery") {
            if (w.size() != 7)
                bad();
            catalogue.recoveries.push_back({w[1] + "%20" + w[2] + "%20" + w[3] + "%20" + w[4], w[5], w[6]});
        } else {
            bad();
        }
    }
    return catalogue;
}

SimFault ParseFault(const std::string &text) {
    static const std::map<std::string, FaultKind> kinds{
        {"status500", FaultKind::Status500}, {"error", FaultKind::NotOk},           {"stall", FaultKind::Stall},
        {"truncate", FaultKind::Truncate},   {"badchar", FaultKind::InvalidBase64}, {"notbird", FaultKind::NotBird}};
    size_t colon = text.find(':');
    auto kind = kinds.find(text.substr(0, colon));
    if (kind == kinds.end())
        throw std::runtime_error("unknown fault: " + text);
    return SimFault{kind->second, colon == std::string::npos ? "" : text.substr(colon + 1)};
}

SimServerModel::SimServerModel(SimCatalogue catalogue, std::vector<SimFault> faults)
    : catalogue_(std::move(catalogue)), faults_(std::move(faults)) {
    for (const auto &[key, bytes] : catalogue_.images)
        encoded_[key] = Base64Encode(bytes);
}

std::vector<std::string> SimServerModel::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

SimReply SimServerModel::Answer(const std::string &target) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(target);
    }
    std::map<std::string, std::string> query;
    size_t mark = target.find('?');
    if (mark != std::string::npos) {
        std::istringstream pairs(target.substr(mark + 1));
        for (std::string pair; std::getline(pairs, pair, '&');) {
            if (pair.empty())
                continue;
            size_t eq = pair.find('=');
            std::string key = pair.substr(0, eq), value = eq == std::string::npos ? "" : pair.substr(eq + 1);
            if (!query.emplace(key, value).second)
                return _error(400, "duplicate parameter " + key);
        }
    }
    const std::string op = query.count("op") ? query["op"] : "";
    const SimFault *fault = nullptr;
    for (const auto &f : faults_)
        if (f.op.empty() || f.op == op) {
            fault = &f;
            break;
        }
    if (fault && fault->kind == FaultKind::Status500)
        return SimReply{500, "Internal Server Error\n"};
    if (fault && fault->kind == FaultKind::NotOk)
        return _error(200, "refused");

    SimReply reply = answer_op(query);
    if (fault && reply.status == 200) {
        std::string &body = reply.body;
        switch (fault->kind) {
        case FaultKind::Stall:
            reply.stall = true;
            reply.stallAfter = body.size() / 2;
            break;
        case FaultKind::Truncate:
            if (op == "bird" && body.size() > 8)
                body.erase(body.size() - 4, 3); // keeps the final line feed
            break;
        case FaultKind::InvalidBase64:
            if (op == "bird" && body.size() > 8)
                body[body.size() / 2] = '*';
            break;
        case FaultKind::NotBird:
            if (op == "bird") {
                std::string junk;
                for (int i = 0; i < 64; ++i)
                    junk += "this is not a firmware image ";
                body = "ok\n" + Base64Encode(junk) + "\n";
            }
            break;
        case FaultKind::Status500:
        case FaultKind::NotOk:
            break;
        }
    }
    return reply;
}

SimReply SimServerModel::answer_op(const std::map<std::string, std::string> &query) {
    auto has_exactly = [&](std::set<std::string> keys) {
        if (keys.size() != query.size())
            return false;
        for (const auto &k : keys)
            if (!query.count(k))
                return false;
        return true;
    };
    auto value = [&](const char *key) { return query.at(key); };
    const std::string op = query.count("op") ? query.at("op") : "";

    if (op == "hi") {
        if (!has_exactly({"op", "rv"}) || value("rv") != "2")
            return _error(400, "bad request");
        return _ok("");
    }
    if (op == "qu" || op == "builds" || op == "ent_jwt" || op == "bird") {
        std::set<std::string> keys{"op", "sn"};
        if (op == "ent_jwt")
            keys.insert("json");
        if (op == "bird")
            keys.insert({"bld", "fw", "no_cal"});
        if (!has_exactly(keys) || !_is_serial(value("sn")))
            return _error(400, "bad request");
        if (op == "ent_jwt" && value("json") != "false")
            return _error(400, "bad request");
        if (op == "bird" && value("no_cal") != "true" && value("no_cal") != "false")
            return _error(400, "bad request");
        auto device = catalogue_.devices.find(value("sn"));
        if (op == "builds") {
            std::string lines;
            if (device != catalogue_.devices.end())
                for (const auto &[build, version] : device->second.versions)
                    lines += build + ";" + version + "\n";
            return _ok(lines);
        }
        if (device == catalogue_.devices.end())
            return _error(200, "unknown device");
        if (op == "qu")
            return _ok(device->second.recommended + "\n" + device->second.firmware + "\n");
        if (op == "ent_jwt") {
            if (device->second.token.empty())
                return _error(200, "no token");
            return _ok(device->second.token + "\n");
        }
        if (value("fw") != device->second.firmware)
            return _error(200, "unknown firmware");
        auto image = encoded_.find(value("sn") + "/" + value("bld"));
        if (image == encoded_.end())
            return _error(200, "no such build");
        SimReply reply;
        reply.body.reserve(image->second.size() + 4);
        reply.body = "ok\n";
        reply.body += image->second;
        reply.body += "\n";
        return reply;
    }
    if (op == "fix") {
        if (!has_exactly({"brief", "fp", "op"}) || value("brief") != "true")
            return _error(400, "bad request");
        for (const auto &r : catalogue_.recoveries)
            if (r.fingerprint == value("fp"))
                return _ok(r.serial + "\n" + r.build + "\n");
        return _error(200, "unknown fingerprint");
    }
    return _error(400, "unknown op");
}

} // namespace sim
