// A real OPC UA server for the channel driver's integration tests and
// benchmark. Listens on 127.0.0.1 only.
//
//   node server.js --port N [--pki DIR] [--max-read N] [--max-write N]
//                  [--hide-limits] [--bulk N] [--idle-close-ms N]
//                  [--modes LIST] [--policies LIST] [--users NAME:PASSWORD,...]
//                  [--no-anonymous] [--trust FILE] [--certificate-out FILE]
//
// --pki is where the server keeps its certificate and trust lists (a fresh
// temporary folder when left out, never the working folder).
// --modes (None, Sign, SignAndEncrypt) and --policies (None, Basic256Sha256,
// Aes128_Sha256_RsaOaep) list what the endpoints offer, comma-separated;
// default None only. --users adds user name/password login, --no-anonymous
// refuses anonymous sessions. --trust FILE trusts that client certificate
// and rejects every other; without it any client certificate is accepted.
// --certificate-out FILE writes the server's certificate (DER) there.
//
// Address space (namespace 1, string identifiers, under Objects/Plant):
//   Scalar.<Type> and Array.<Type> (4 elements) for Boolean, SByte, Byte,
//   Int16, UInt16, Int32, UInt32, Int64, UInt64, Float, Double, String,
//   DateTime; SetPoint (Double, writable); Broken (always BadSensorFailure);
//   Bulk.<i> (UInt32 = i) for i < --bulk; Plant/Line1/Speed reachable by
//   browse path (identifier "Line1.Speed").
// --max-read / --max-write set the operation limits the server enforces;
// --hide-limits advertises them as 0 ("no limit") while still enforcing them.
// --idle-close-ms closes a connection idle that long (default 30 s).
//
// stdout, one JSON object per line: {"listening": port} once ready,
// {"read": n} per Read request (n nodes), {"write": id, "value": v} per
// stored write of a variable.
"use strict";
const fs = require("fs");
const os = require("os");
const path = require("path");
const {
  OPCUAServer,
  OPCUACertificateManager,
  Variant,
  DataType,
  DataValue,
  StatusCodes,
  VariantArrayType,
  MessageSecurityMode,
  SecurityPolicy,
} = require("node-opcua");

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}
const port = parseInt(option("--port", "4840"), 10);
const ownPki = !option("--pki", null);
const pki = ownPki ? fs.mkdtempSync(path.join(os.tmpdir(), "pemrix-opcua-pki-")) : option("--pki", null);
const maxRead = parseInt(option("--max-read", "0"), 10);
const maxWrite = parseInt(option("--max-write", "0"), 10);
const bulk = parseInt(option("--bulk", "0"), 10);
const hideLimits = process.argv.includes("--hide-limits");
const idleCloseMs = parseInt(option("--idle-close-ms", "0"), 10);
const list = (name, fallback) => option(name, fallback).split(",").filter((x) => x);
const modes = list("--modes", "None").map((m) => MessageSecurityMode[m]);
const policies = list("--policies", "None").map((p) => SecurityPolicy[p]);
const users = new Map(list("--users", "").map((u) => [u.slice(0, u.indexOf(":")), u.slice(u.indexOf(":") + 1)]));
const trust = option("--trust", null);
const certificateOut = option("--certificate-out", null);
if (modes.includes(undefined) || policies.includes(undefined)) throw new Error("unknown security mode or policy");

const print = (o) => process.stdout.write(JSON.stringify(o) + "\n");
// JSON has no 64-bit integers or dates: print them as text.
const plain = (v) =>
  Array.isArray(v) || ArrayBuffer.isView(v)
    ? Array.from(v, plain)
    : v instanceof Date
      ? v.toISOString()
      : typeof v === "bigint"
        ? v.toString()
        : v;
// Int64/UInt64 values are [high, low] pairs of 32-bit words in this server.
const int64Text = (v, signed) => {
  const big = (BigInt(v[0] >>> 0) << 32n) | BigInt(v[1] >>> 0);
  return (signed ? BigInt.asIntN(64, big) : big).toString();
};

const types = {
  Boolean: [true, [true, false, true, true]],
  SByte: [-128, [-1, 0, 1, 127]],
  Byte: [255, [0, 1, 128, 255]],
  Int16: [-32768, [-2, 0, 2, 32767]],
  UInt16: [65535, [0, 1, 2, 65535]],
  Int32: [-2147483648, [-5, 0, 5, 2147483647]],
  UInt32: [4294967295, [0, 1, 2, 4294967295]],
  Int64: [[0x80000000, 0], [[0xffffffff, 0xfffffffe], [0, 0], [0, 3], [0x7fffffff, 0xffffffff]]],
  UInt64: [[0xffffffff, 0xffffffff], [[0, 0], [0, 1], [1, 0], [0xffffffff, 0xffffffff]]],
  Float: [0.5, [-1.5, 0, 0.25, 3.0e38]],
  Double: [-1234.5678, [1e-300, -0.5, 0, 1.7976931348623157e308]],
  String: ["Grüße, Welt", ["a", "", "ü", "line\nbreak"]],
  DateTime: [new Date(Date.UTC(2024, 0, 2, 3, 4, 5, 678)), [new Date(0), new Date(Date.UTC(2030, 11, 31, 23, 59, 59, 999)), new Date(86400000), new Date(1)]],
};

function printedValue(name, dataType, v) {
  if (name.endsWith("Int64")) {
    const signed = dataType === "Int64";
    return Array.isArray(v[0]) ? v.map((x) => int64Text(x, signed)) : int64Text(v, signed);
  }
  return plain(v);
}

async function main() {
  if (trust) {
    fs.mkdirSync(path.join(pki, "trusted", "certs"), { recursive: true });
    fs.copyFileSync(trust, path.join(pki, "trusted", "certs", "client" + path.extname(trust)));
  }
  const certificateManager = new OPCUACertificateManager({
    automaticallyAcceptUnknownCertificate: !trust,
    rootFolder: pki,
  });
  const server = new OPCUAServer({
    port,
    host: "127.0.0.1",
    hostname: "127.0.0.1",
    resourcePath: "/pemrix",
    serverCertificateManager: certificateManager,
    securityPolicies: policies,
    securityModes: modes,
    allowAnonymous: !process.argv.includes("--no-anonymous"),
    userManager: { isValidUser: (name, password) => users.has(name) && users.get(name) === password },
    serverCapabilities: { operationLimits: { maxNodesPerRead: maxRead, maxNodesPerWrite: maxWrite } },
  });
  await server.initialize();
  if (idleCloseMs > 0) for (const endpoint of server.endpoints) endpoint.timeout = idleCloseMs;
  const addressSpace = server.engine.addressSpace;
  const ns = addressSpace.getOwnNamespace();
  const plant = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "Plant" });

  // Writes (index ranges included) are applied by the server itself; each
  // stored value is printed as the node then holds it.
  function variable(parent, id, browseName, dataType, initial, isArray, log) {
    const node = ns.addVariable({
      componentOf: parent,
      browseName,
      nodeId: "s=" + id,
      dataType,
      valueRank: isArray ? 1 : -1,
      arrayDimensions: isArray ? [initial.length] : undefined,
      accessLevel: "CurrentRead | CurrentWrite",
      userAccessLevel: "CurrentRead | CurrentWrite",
      value: new Variant({
        dataType: DataType[dataType],
        arrayType: isArray ? VariantArrayType.Array : VariantArrayType.Scalar,
        value: initial,
      }),
    });
    if (log) node.on("value_changed", (dataValue) => print({ write: id, value: printedValue(id, dataType, dataValue.value.value) }));
  }

  for (const [name, [scalar, array]] of Object.entries(types)) {
    variable(plant, "Scalar." + name, "Scalar" + name, name, scalar, false, true);
    variable(plant, "Array." + name, "Array" + name, name, array, true, true);
  }
  variable(plant, "SetPoint", "SetPoint", "Double", 20.0, false, true);
  ns.addVariable({
    componentOf: plant,
    browseName: "Broken",
    nodeId: "s=Broken",
    dataType: "Double",
    minimumSamplingInterval: 100,
    value: { timestamped_get: () => new DataValue({ statusCode: StatusCodes.BadSensorFailure }) },
  });
  const line1 = ns.addObject({ organizedBy: plant, browseName: "Line1" });
  variable(line1, "Line1.Speed", "Speed", "Double", 42.25, false, true);
  for (let i = 0; i < bulk; ++i) variable(plant, "Bulk." + i, "Bulk" + i, "UInt32", i, false, false);

  if (hideLimits) {
    const limits = addressSpace.rootFolder.objects.server.serverCapabilities.operationLimits;
    for (const name of ["maxNodesPerRead", "maxNodesPerWrite"]) {
      const node = limits.getChildByName(name.charAt(0).toUpperCase() + name.slice(1));
      if (node) node.bindVariable({ get: () => new Variant({ dataType: DataType.UInt32, value: 0 }) }, true);
    }
  }

  server.on("request", (request) => {
    if (request.schema && request.schema.name === "ReadRequest") print({ read: (request.nodesToRead || []).length });
  });
  await server.start();
  if (certificateOut) fs.writeFileSync(certificateOut, server.getCertificate());
  print({ listening: port });
  const stop = async () => {
    await server.shutdown(0);
    if (ownPki) fs.rmSync(pki, { recursive: true, force: true });
    process.exit(0);
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
}

main().catch((e) => {
  process.stderr.write(String((e && e.stack) || e) + "\n");
  process.exit(1);
});
