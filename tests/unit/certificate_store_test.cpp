// Remembered certificates: their stored form, one record per server, and what counts as changed.
#include "settings/certificate_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/certificate_trust.h"
#include "settings/setting_names.h"
#include "settings/settings_codec.h"
#include "tests/unit/fake_registry.h"

namespace {

std::string Listed(const std::vector<CertificateRecord>& records) {
  std::string text;
  for (const CertificateRecord& r : records) {
    text += r.server + "=" + r.fingerprint + (r.trustedByWindows ? "+" : "") + ";";
  }
  return text;
}

TEST(CertificateRecords, DecodeEarlierAndCurrentForms) {
  const std::string multi = std::string("a:21 AA\0b:990 BB trusted\0", 25) + '\0';
  const struct {
    RegistryValue value;
    std::string records;
  } cases[] = {
      {Raw(kRegSz, std::string("nas:21 AA:BB\0", 13)), "nas:21=AA:BB;"},  // an earlier version's
      {Raw(kRegMultiSz, multi), "a:21=AA;b:990=BB+;"},
      {Raw(kRegMultiSz, multi.substr(0, 8)), "a:21=AA;"},  // cut without its zeros
      {Raw(kRegMultiSz, std::string("a:21 AA\0\0b:990 BB\0\0", 20)), "a:21=AA;"},
      {Raw(kRegMultiSz, std::string("a:21 AA\0a:21 CC\0\0", 17)), "a:21=AA;"},  // first one counts
      {Raw(kRegMultiSz, std::string("a:21\0b:21 BB other\0c:21 CC\0\0", 29)), "c:21=CC;"},
      {Raw(kRegDword, "abcd"), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Listed(DecodeCertificateRecords(c.value)), c.records) << c.value.data;
  }
  const std::vector<CertificateRecord> records = {{"a:21", "AA", false}, {"[::1]:21", "BB", true}};
  EXPECT_EQ(Listed(DecodeCertificateRecords(EncodeCertificateRecords(records))), Listed(records));
}

TEST(CertificateRecords, SavingOneServerKeepsTheOthersAndTheEarlierRecord) {
  FakeKeyData data;
  FakeRegistryKey key{data, true};
  data.values[kServerCertificateValue] = Raw(kRegSz, std::string("nas:21 AA\0", 10));
  EXPECT_EQ(LoadCertificate(key, "nas:21")->fingerprint, "AA");
  EXPECT_FALSE(LoadCertificate(key, "nas:2121").has_value());
  ASSERT_TRUE(SaveCertificate(key, {"bank:990", "BB", true}));
  ASSERT_TRUE(SaveCertificate(key, {"other:21", "CC", false}));
  ASSERT_TRUE(SaveCertificate(key, {"bank:990", "DD", false}));
  EXPECT_EQ(Listed(DecodeCertificateRecords(data.values[kServerCertificateValue])),
            "nas:21=AA;bank:990=DD;other:21=CC;");
  data.refuseWrites = true;
  EXPECT_FALSE(SaveCertificate(key, {"nas:21", "EE", false}));
  EXPECT_EQ(LoadCertificate(key, "nas:21")->fingerprint, "AA");
}

TEST(CertificateTrust, WhatCountsAsChanged) {
  const struct {
    CertificateRecord stored;
    CertificateRecord presented;
    bool changed;
  } cases[] = {
      {{"s", "AA", false}, {"s", "AA", false}, false},  // the pin
      {{"s", "AA", false}, {"s", "AA", true}, false},   // the pin, now trusted by Windows
      {{"s", "AA", false}, {"s", "BB", false}, true},
      {{"s", "AA", false}, {"s", "BB", true}, true},  // trusted, but not the pin
      {{"s", "AA", true}, {"s", "BB", true}, false},  // a renewal
      {{"s", "AA", true}, {"s", "AA", false}, true},  // no longer trusted
      {{"s", "AA", true}, {"s", "BB", false}, true},  // self-signed in place of a trusted one
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CertificateChanged(c.stored, c.presented), c.changed)
        << c.stored.fingerprint << c.stored.trustedByWindows << " then " << c.presented.fingerprint
        << c.presented.trustedByWindows;
  }
}

}  // namespace
