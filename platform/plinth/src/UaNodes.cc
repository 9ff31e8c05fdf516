// The session's nodes: the device driver's node records resolved (once per
// connection) into wire identifiers, read and written in batches.
#include <easylogging++.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "UaValues.h"
#include "plinth/UaTcpSession.h"

namespace VESK::DAQ {

using namespace ua;

// ---- batching ----------------------------------------------------------------------

namespace {

// The array length each value of a read answer may take (see Variant); no
// caps for the answers of other services.
bool AnswerCaps(const ReadItem* items, size_t n, std::vector<size_t>& caps) {
  caps.resize(n);
  for (size_t i = 0; i < n; ++i) caps[i] = items[i].maxElements;
  return true;
}
template <class Item>
bool AnswerCaps(const Item*, size_t, std::vector<size_t>&) {
  return false;
}

}  // namespace

template <class Item, class Encode, class Take>
bool UaTcpSession::Batched(const char* service, uint32_t answerType, const std::vector<Item>& items, uint32_t& limit,
                           size_t& proven, size_t batch, size_t window, Encode encode, Take take) {
  if (!_connected || !RenewIfDue()) return false;
  std::vector<Flight> flights;  // in the order sent; answers are taken in that order
  std::vector<size_t> caps;
  size_t next = 0;  // the first item not sent
  while (next < items.size() || !flights.empty()) {
    while (next < items.size() && flights.size() < window) {
      size_t n = items.size() - next;
      if (batch > 0) n = std::min(n, batch);
      if (limit > 0) n = std::min<size_t>(n, limit);
      if (!flights.empty() && n > proven) break;  // a size not yet taken goes alone: it may be refused
      Flight f;
      f.first = next, f.count = n;
      if (!_connected || !Send("MSG", encode(&items[next], n), f)) return false;
      flights.push_back(std::move(f));
      next += n;
    }
    if (!ReceiveAny(flights)) return false;
    while (!flights.empty() && flights.front().done) {
      const Flight f = std::move(flights.front());
      flights.erase(flights.begin());
      Response r;
      bool capped = AnswerCaps(&items[f.first], f.count, caps);
      if (!Decode(f.body, r, f.count, capped ? &caps : nullptr)) return false;
      if (r.typeId != answerType && r.typeId != msgid::kServiceFault) {
        Drop(std::string(service) + " answered with message " + std::to_string(r.typeId));
        return false;
      }
      uint32_t result = r.serviceResult;
      if (result == status::kBadTooManyOperations && f.count > 1) {
        limit = static_cast<uint32_t>(f.count / 2);
        proven = 0;
        LOG(INFO) << "OPC UA channel " << _url << " : server refused " << f.count << " operations, batches now "
                  << limit;
        next = f.first;  // the answers still under way are of the old size
        flights.clear();
        break;
      }
      if (status::IsBad(result)) {
        if (!SessionLost(result) && _refusals.emplace(service, result).second)
          LOG(ERROR) << "OPC UA channel " << _url << " : " << service << " refused " << Hex(result)
                     << " (logged once until the connection has been up " << kStable.count() / 1000 << " s)";
        return false;
      }
      if (!take(r, f.count)) return false;
      proven = std::max(proven, f.count);
    }
  }
  return true;
}

bool UaTcpSession::ReadItems(const std::vector<ReadItem>& items, size_t batch, std::vector<DataValue>& out) {
  return Batched(
      "read", msgid::kReadResponse, items, _maxRead, _readProven, batch, kMaxInFlight,
      [this](const ReadItem* first, size_t n) { return EncodeRead(NextHeader(), first, n); },
      [this, &out](Response& r, size_t n) {
        if (r.values.size() != n) {
          Drop("read answered " + std::to_string(r.values.size()) + " values for " + std::to_string(n) + " nodes");
          return false;
        }
        std::move(r.values.begin(), r.values.end(), std::back_inserter(out));
        return true;
      });
}

bool UaTcpSession::ReadValues(const std::vector<NodeId>& ids, std::vector<DataValue>& out, size_t batch) {
  out.clear();
  Revive();
  if (!_connected) return false;
  std::vector<ReadItem> items;
  items.reserve(ids.size());
  for (const auto& id : ids) items.push_back({id, kAttributeValue});
  return ReadItems(items, batch, out);
}

// ---- nodes of device drivers ---------------------------------------------------------

namespace {

// The bytes of a node's identifier, where the node holds them.
std::pair<const void*, size_t> RawIdentifier(const UA_NodeId& id) {
  switch (id.identifierType) {
    case UA_NODEIDTYPE_NUMERIC:
      return {&id.identifier.numeric, sizeof id.identifier.numeric};
    case UA_NODEIDTYPE_GUID:
      return {&id.identifier.guid, sizeof id.identifier.guid};
    case UA_NODEIDTYPE_STRING:
    case UA_NODEIDTYPE_BYTESTRING:
      return {id.identifier.string.data, id.identifier.string.length};
    default:  // no identifier we could use
      return {nullptr, 0};
  }
}

}  // namespace

bool UaTcpSession::Entry::Names(const _nodeData& node) const {
  const UA_NodeId& id = node.nodeId;
  auto [data, size] = RawIdentifier(id);
  if (id.namespaceIndex != sourceNs || id.identifierType != sourceType || size != source.size()) return false;
  // A string identifier is the same while it is the same string (see
  // _nodeData): its bytes, elsewhere in memory, need not be compared.
  if (id.identifierType == UA_NODEIDTYPE_STRING || id.identifierType == UA_NODEIDTYPE_BYTESTRING)
    return data == node.identifier;
  return size == 0 || std::memcmp(data, source.data(), size) == 0;
}

UaTcpSession::Entry* UaTcpSession::Resolve(_nodeData& node) {
  const UA_NodeId& id = node.nodeId;
  Entry* entry = nullptr;
  if (node.session == this && node.handle > 0 && node.handle <= _handles.size() &&
      _handles[node.handle - 1]->Names(node)) {
    entry = _handles[node.handle - 1];
    if (entry->generation == _generation) return entry;
  }
  std::string identifier;
  switch (id.identifierType) {
    case UA_NODEIDTYPE_NUMERIC:
      identifier = "i=" + std::to_string(id.identifier.numeric);
      break;
    case UA_NODEIDTYPE_STRING:
      identifier.assign(reinterpret_cast<const char*>(id.identifier.string.data), id.identifier.string.length);
      break;
    case UA_NODEIDTYPE_GUID: {
      char text[40];
      const UA_Guid& g = id.identifier.guid;
      std::snprintf(text, sizeof text, "g=%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.data1, g.data2, g.data3,
                    g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
      identifier = text;
      break;
    }
    default:
      identifier = "(unsupported identifier kind " + std::to_string(id.identifierType) + ")";
      break;
  }
  if (!entry) {
    auto& slot = _entries[std::to_string(id.namespaceIndex) + "|" + identifier];
    if (!slot) {
      slot = std::make_unique<Entry>();
      _handles.push_back(slot.get());
      slot->handle = _handles.size();
      auto [data, size] = RawIdentifier(id);
      slot->sourceNs = id.namespaceIndex;
      slot->sourceType = id.identifierType;
      if (size > 0) slot->source.assign(static_cast<const char*>(data), size);
    }
    entry = slot.get();
    node.session = this;
    node.handle = entry->handle;
    node.identifier = RawIdentifier(id).first;
    if (entry->generation == _generation) return entry;
  }
  // Resolved afresh in this connection; what identifies the driver's node stays.
  Entry fresh;
  fresh.handle = entry->handle;
  fresh.sourceNs = entry->sourceNs;
  fresh.sourceType = entry->sourceType;
  fresh.source = std::move(entry->source);
  *entry = std::move(fresh);
  entry->generation = _generation;
  entry->label = std::to_string(id.namespaceIndex) + ":" + identifier;
  if (id.identifierType == UA_NODEIDTYPE_GUID) {
    entry->id.kind = NodeId::Guid;
    entry->id.ns = id.namespaceIndex;
    std::memcpy(entry->id.guid.data(), &id.identifier.guid.data1, 4);
    std::memcpy(entry->id.guid.data() + 4, &id.identifier.guid.data2, 2);
    std::memcpy(entry->id.guid.data() + 6, &id.identifier.guid.data3, 2);
    std::memcpy(entry->id.guid.data() + 8, id.identifier.guid.data4, 8);
  } else if (id.identifierType != UA_NODEIDTYPE_NUMERIC && id.identifierType != UA_NODEIDTYPE_STRING) {
    entry->state = Entry::Invalid;
  } else if (!identifier.empty() && identifier[0] == '/') {
    // A browse path from the Objects folder: "/Plant/2:Line1/Speed"; a name
    // without "<ns>:" is in the node's namespace.
    entry->state = Entry::Path;
    entry->path.start = NodeId::Num(0, nodes::kObjectsFolder);
    size_t pos = 1;
    while (pos <= identifier.size()) {
      size_t end = std::min(identifier.find('/', pos), identifier.size());
      std::string element = identifier.substr(pos, end - pos);
      pos = end + 1;
      if (element.empty()) continue;
      QualifiedName name{id.namespaceIndex, element};
      size_t colon = element.find(':');
      if (colon != std::string::npos && colon > 0 && colon <= 5 && element.find_first_not_of("0123456789") == colon &&
          std::stoi(element.substr(0, colon)) <= 65535) {
        name.ns = static_cast<uint16_t>(std::stoi(element.substr(0, colon)));
        name.name = element.substr(colon + 1);
      }
      entry->path.names.push_back(std::move(name));
    }
    if (entry->path.names.empty()) entry->state = Entry::Invalid;
  } else if (!ParseNodeIdText(id.namespaceIndex, identifier, entry->id)) {
    entry->state = Entry::Invalid;
  }
  if (entry->state == Entry::Invalid)
    LOG(ERROR) << "OPC UA channel " << _url << " : node '" << entry->label << "' is not a usable node identifier";
  return entry;
}

void UaTcpSession::TranslatePaths(const std::vector<Entry*>& pending) {
  std::vector<BrowsePath> paths;
  for (Entry* e : pending) paths.push_back(e->path);
  std::vector<BrowsePathResult> results;
  uint32_t limit = _maxRead;
  size_t proven = _readProven;
  Batched(
      "browse path translation", msgid::kTranslateBrowsePathsResponse, paths, limit, proven, 0, kMaxInFlight,
      [this](const BrowsePath* first, size_t n) { return EncodeTranslate(NextHeader(), first, n); },
      [this, &results](Response& r, size_t n) {
        if (r.paths.size() != n) {
          Drop("browse paths answered with " + std::to_string(r.paths.size()) + " results");
          return false;
        }
        std::move(r.paths.begin(), r.paths.end(), std::back_inserter(results));
        return true;
      });
  for (size_t i = 0; i < results.size(); ++i) {
    Entry* e = pending[i];
    if (status::IsBad(results[i].status)) {
      // Unknown path: a server may add the node later; asked again next time.
      ReportOnce(*e, results[i].status, "browse path not found");
      continue;
    }
    e->id = results[i].target;
    e->state = Entry::Ready;
  }
}

void UaTcpSession::ReportOnce(Entry& entry, uint32_t code, const std::string& what) {
  constexpr size_t kCausesLogged = 4;  // a status that keeps changing stays a few lines
  entry.goodSince = Clock::time_point();
  if (std::find(entry.reported.begin(), entry.reported.end(), code) != entry.reported.end()) return;
  if (entry.reported.size() > kCausesLogged) return;
  entry.reported.push_back(code);
  if (entry.reported.size() > kCausesLogged) {
    LOG(ERROR) << "OPC UA channel " << _url << " : node '" << entry.label
               << "' keeps failing with other causes; not logged until it reads well for " << kStable.count() / 1000
               << " s";
    return;
  }
  LOG(ERROR) << "OPC UA channel " << _url << " : node '" << entry.label << "' " << what << " " << Hex(code);
}

void UaTcpSession::ReportGood(Entry& entry) {
  if (entry.reported.empty()) return;
  auto now = Clock::now();
  if (entry.goodSince == Clock::time_point()) entry.goodSince = now;
  if (now - entry.goodSince >= kStable) entry.reported.clear();
}

int UaTcpSession::Read(const std::vector<_nodeData*>& nodes, size_t batch) {
  Revive();
  // One pass over the nodes builds the request; each item knows its node
  // and entry.
  std::vector<ReadItem>& items = _readItems;
  std::vector<size_t>& which = _readWhich;
  std::vector<Entry*>& entries = _readEntries;
  items.clear(), which.clear(), entries.clear();
  auto add = [&](size_t i, Entry* e) {
    const DataValueBase& declared = *nodes[i]->value;
    items.push_back(
        {e->id, kAttributeValue, declared.IsArray() ? static_cast<size_t>(std::max(declared.GetArraySize(), 0)) : 1});
    which.push_back(i);
    entries.push_back(e);
  };
  std::vector<std::pair<size_t, Entry*>> paths;  // browse paths still to translate
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i] || !nodes[i]->value) continue;
    Entry* e = Resolve(*nodes[i]);
    if (e->state == Entry::Ready)
      add(i, e);
    else if (e->state == Entry::Path)
      paths.emplace_back(i, e);
    else
      nodes[i]->value->SetNull();
  }
  if (!paths.empty()) {
    std::vector<Entry*> pending;
    for (const auto& path : paths)
      if (std::find(pending.begin(), pending.end(), path.second) == pending.end()) pending.push_back(path.second);
    if (_connected) TranslatePaths(pending);
    for (const auto& [i, e] : paths) {
      if (e->state == Entry::Ready)
        add(i, e);
      else
        nodes[i]->value->SetNull();
    }
  }
  std::vector<DataValue>& values = _readValues;
  values.clear();
  if (_connected && !items.empty()) ReadItems(items, batch, values);
  int read = 0;
  for (size_t k = 0; k < which.size(); ++k) {
    DataValueBase& value = *nodes[which[k]]->value;
    Entry& entry = *entries[k];
    if (k >= values.size()) {
      value.SetNull();
      continue;
    }
    const DataValue& dv = values[k];
    if (status::IsBad(dv.status)) {
      ReportOnce(entry, dv.status, "read failed");
      value.SetNull();
    } else if (!dv.hasValue || dv.value.type == kNull) {
      value.SetNull();
    } else if (std::string wrong = Mismatch(dv.value, value); !wrong.empty()) {
      ReportOnce(entry, status::kBadTypeMismatch, "refused : " + wrong);
      value.SetNull();
    } else if (!Store(dv.value, value)) {
      ReportOnce(entry, status::kBadTypeMismatch, "value of type " + std::to_string(dv.value.type) + " not readable");
      value.SetNull();
    } else {
      entry.type = dv.value.type;
      entry.isArray = dv.value.isArray;
      ReportGood(entry);
      ++read;
    }
  }
  return read;
}

void UaTcpSession::LearnTypes(const std::vector<Entry*>& unknown) {
  std::vector<NodeId> ids;
  for (Entry* e : unknown) ids.push_back(e->id);
  std::vector<DataValue> values;
  ReadValues(ids, values);
  for (size_t i = 0; i < values.size(); ++i) {
    if (status::IsBad(values[i].status) || !values[i].hasValue) continue;
    unknown[i]->type = values[i].value.type;
    unknown[i]->isArray = values[i].value.isArray;
  }
}

int UaTcpSession::Write(const std::vector<_nodeData*>& nodes) {
  Revive();
  if (!_connected) return 0;
  std::vector<Entry*> entries(nodes.size(), nullptr);
  std::vector<Entry*> pending, unknown;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i] || !nodes[i]->value) continue;
    Entry* e = entries[i] = Resolve(*nodes[i]);
    if (e->state == Entry::Path && std::find(pending.begin(), pending.end(), e) == pending.end()) pending.push_back(e);
  }
  if (!pending.empty()) TranslatePaths(pending);
  // A write must carry the node's own type: learn it from its value first.
  for (Entry* e : entries)
    if (e && e->state == Entry::Ready && e->type == kNull &&
        std::find(unknown.begin(), unknown.end(), e) == unknown.end())
      unknown.push_back(e);
  if (!unknown.empty()) LearnTypes(unknown);

  std::vector<WriteItem> items;
  std::vector<Entry*> written;
  for (size_t i = 0; i < nodes.size(); ++i) {
    Entry* e = entries[i];
    if (!e) continue;
    WriteItem item;
    item.node = e->id;
    item.indexRange = IndexRange(nodes[i]->indices);
    const char* skip =
        e->generation != _generation ? "the connection was renewed meanwhile"
        : e->state != Entry::Ready   ? "node unknown"
        : e->type == kNull || !ToVariant(*nodes[i]->value, e->type, !nodes[i]->indices.empty(), item.value)
            ? "no value of the node's type"
            : nullptr;
    if (skip) {
      LOG(ERROR) << "OPC UA channel " << _url << " : write to node '" << e->label << "' skipped : " << skip;
      continue;
    }
    items.push_back(std::move(item));
    written.push_back(e);
  }
  std::vector<uint32_t> results;
  if (!items.empty()) {
    // One write request at a time: the server applies them in our order.
    size_t proven = 0;
    Batched(
        "write", msgid::kWriteResponse, items, _maxWrite, proven, 0, 1,
        [this](const WriteItem* first, size_t n) { return EncodeWrite(NextHeader(), first, n); },
        [this, &results](Response& r, size_t n) {
          if (r.results.size() != n) {
            Drop("write answered " + std::to_string(r.results.size()) + " results for " + std::to_string(n) + " nodes");
            return false;
          }
          results.insert(results.end(), r.results.begin(), r.results.end());
          return true;
        });
  }
  int good = 0;
  for (size_t k = 0; k < written.size(); ++k) {
    if (k < results.size() && !status::IsBad(results[k])) {
      ++good;
      continue;
    }
    LOG(ERROR) << "OPC UA channel " << _url << " : write to node '" << written[k]->label << "' failed "
               << Hex(k < results.size() ? results[k] : status::kBadCommunicationError);
  }
  return good;
}

}  // namespace VESK::DAQ
