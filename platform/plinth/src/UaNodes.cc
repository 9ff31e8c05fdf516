// The session's nodes: the device driver's node records resolved (once per
// connection) into wire identifiers, read and written in batches.
#include <easylogging++.h>

#include <algorithm>
#include <cstring>

#include "UaValues.h"
#include "plinth/UaTcpSession.h"

namespace VESK::DAQ {

using namespace ua;

// ---- batching ----------------------------------------------------------------------

template <class Item, class Send>
bool UaTcpSession::Batched(const char* service, const std::vector<Item>& items, uint32_t& limit, Send send) {
  size_t pos = 0;
  while (pos < items.size()) {
    if (!_connected) return false;
    size_t n = items.size() - pos;
    if (limit > 0) n = std::min<size_t>(n, limit);
    std::vector<Item> batch(items.begin() + static_cast<long>(pos), items.begin() + static_cast<long>(pos + n));
    uint32_t result = status::kGood;
    if (!send(batch, result)) return false;
    if (result == status::kBadTooManyOperations && n > 1) {
      limit = static_cast<uint32_t>(n / 2);
      LOG(INFO) << "OPC UA channel " << _url << " : server refused " << n << " operations, batches now " << limit;
      continue;
    }
    if (status::IsBad(result)) {
      if (!SessionLost(result) && _refusals.emplace(service, result).second)
        LOG(ERROR) << "OPC UA channel " << _url << " : " << service << " refused " << Hex(result)
                   << " (logged once until the connection has been up " << kStable.count() / 1000 << " s)";
      return false;
    }
    pos += n;
  }
  return true;
}

bool UaTcpSession::ReadBatch(const std::vector<ReadItem>& items, std::vector<DataValue>& out, uint32_t& result) {
  Response r;
  std::vector<size_t> caps;
  caps.reserve(items.size());
  for (const auto& item : items) caps.push_back(item.maxElements);
  if (!Exchange(EncodeRead(NextHeader(), items), r, items.size(), "MSG", &caps)) return false;
  result = r.serviceResult;
  if (r.typeId != msgid::kReadResponse && r.typeId != msgid::kServiceFault) {
    Drop("read answered with message " + std::to_string(r.typeId));
    return false;
  }
  if (status::IsBad(result)) return true;
  if (r.values.size() != items.size()) {
    Drop("read answered " + std::to_string(r.values.size()) + " values for " + std::to_string(items.size()) + " nodes");
    return false;
  }
  std::move(r.values.begin(), r.values.end(), std::back_inserter(out));
  return true;
}

bool UaTcpSession::WriteBatch(const std::vector<WriteItem>& items, std::vector<uint32_t>& out, uint32_t& result) {
  Response r;
  if (!Exchange(EncodeWrite(NextHeader(), items), r, items.size())) return false;
  result = r.serviceResult;
  if (r.typeId != msgid::kWriteResponse && r.typeId != msgid::kServiceFault) {
    Drop("write answered with message " + std::to_string(r.typeId));
    return false;
  }
  if (status::IsBad(result)) return true;
  if (r.results.size() != items.size()) {
    Drop("write answered " + std::to_string(r.results.size()) + " results for " + std::to_string(items.size()) +
         " nodes");
    return false;
  }
  out.insert(out.end(), r.results.begin(), r.results.end());
  return true;
}

bool UaTcpSession::ReadValues(const std::vector<NodeId>& ids, std::vector<DataValue>& out) {
  out.clear();
  Revive();
  if (!_connected) return false;
  std::vector<ReadItem> items;
  items.reserve(ids.size());
  for (const auto& id : ids) items.push_back({id, kAttributeValue});
  return Batched("read", items, _maxRead,
                 [&](const std::vector<ReadItem>& batch, uint32_t& result) { return ReadBatch(batch, out, result); });
}

// ---- nodes of device drivers ---------------------------------------------------------

UaTcpSession::Entry* UaTcpSession::Resolve(const _nodeData& node) {
  const UA_NodeId& id = node.nodeId;
  std::string identifier;
  switch (id.identifierType) {
    case UA_NODEIDTYPE_NUMERIC:
      identifier = "i=" + std::to_string(id.identifier.numeric);
      break;
    case UA_NODEIDTYPE_STRING:
      identifier.assign(reinterpret_cast<const char*>(id.identifier.string.data), id.identifier.string.length);
      break;
    default:
      identifier = "(unsupported identifier kind " + std::to_string(id.identifierType) + ")";
      break;
  }
  std::string key = std::to_string(id.namespaceIndex) + "|" + identifier;
  auto& entry = _entries[key];
  if (entry && entry->generation == _generation) return entry.get();
  if (!entry) entry = std::make_unique<Entry>();
  *entry = Entry();
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
  return entry.get();
}

void UaTcpSession::TranslatePaths(const std::vector<Entry*>& pending) {
  std::vector<BrowsePath> paths;
  for (Entry* e : pending) paths.push_back(e->path);
  std::vector<BrowsePathResult> results;
  uint32_t limit = _maxRead;
  bool ok =
      Batched("browse path translation", paths, limit, [&](const std::vector<BrowsePath>& batch, uint32_t& result) {
        Response r;
        if (!Exchange(EncodeTranslate(NextHeader(), batch), r, batch.size())) return false;
        result = r.serviceResult;
        if (status::IsBad(result)) return true;
        if (r.typeId != msgid::kTranslateBrowsePathsResponse || r.paths.size() != batch.size()) {
          Drop("browse paths answered with " + std::to_string(r.paths.size()) + " results");
          return false;
        }
        results.insert(results.end(), r.paths.begin(), r.paths.end());
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
  (void)ok;
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

int UaTcpSession::Read(const std::vector<_nodeData*>& nodes) {
  Revive();
  std::vector<Entry*> entries(nodes.size(), nullptr);
  std::vector<Entry*> pending;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!nodes[i] || !nodes[i]->value) continue;
    entries[i] = Resolve(*nodes[i]);
    if (entries[i]->state == Entry::Path && std::find(pending.begin(), pending.end(), entries[i]) == pending.end())
      pending.push_back(entries[i]);
  }
  if (_connected && !pending.empty()) TranslatePaths(pending);

  std::vector<ReadItem> items;
  std::vector<size_t> which;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!entries[i]) continue;
    if (entries[i]->state == Entry::Ready) {
      const DataValueBase& declared = *nodes[i]->value;
      items.push_back({entries[i]->id, kAttributeValue,
                       declared.IsArray() ? static_cast<size_t>(std::max(declared.GetArraySize(), 0)) : 1});
      which.push_back(i);
    } else {
      nodes[i]->value->SetNull();
    }
  }
  std::vector<DataValue> values;
  if (_connected && !items.empty()) {
    Batched("read", items, _maxRead,
            [&](const std::vector<ReadItem>& batch, uint32_t& result) { return ReadBatch(batch, values, result); });
  }
  int read = 0;
  for (size_t k = 0; k < which.size(); ++k) {
    DataValueBase& value = *nodes[which[k]]->value;
    Entry& entry = *entries[which[k]];
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
    Batched("write", items, _maxWrite,
            [&](const std::vector<WriteItem>& batch, uint32_t& result) { return WriteBatch(batch, results, result); });
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
