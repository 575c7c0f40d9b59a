/*
 * What a QuarnClient owns, and the collaborators that do its work, each
 * over that data and nothing more (QuarnClient forwards to them):
 *   urls       ResourceUrls.cc          the URL grammar bound to the configured servers
 *   downloads  Downloader.cc            the road by which resources enter the cache
 *   listings   ClientListings.cc        details, listings, their fall-back to the cache
 *   lookups    ClientCachedLookups.cc   cached resources and files by URL
 *   batches    ClientBatchDownloads.cc  parallel downloads
 *   uploads    ClientUploads.cc         upload, edit, delete, the licence table
 *   updates    ClientUpdates.cc         bringing the cache up to date
 *   requests   ResourcePolicy.cc        resources by URL (ResourceRequests)
 * Members are declared in the order they are built: each collaborator after
 * what it uses. Internal to the library.
 */
#ifndef QX_QUARN_TOOLS_SRC_QUARNCLIENTPRIVATE_HH_
#define QX_QUARN_TOOLS_SRC_QUARNCLIENTPRIVATE_HH_

#include <memory>

#include "ClientBatchDownloads.hh"
#include "ClientCachedLookups.hh"
#include "ClientListings.hh"
#include "ClientUpdates.hh"
#include "ClientUploads.hh"
#include "Downloader.hh"
#include "ResourcePolicy.hh"
#include "ResourceUrls.hh"
#include "UrlGrammar.hh"
#include "qx/quarn_tools/ClientConfig.hh"
#include "qx/quarn_tools/LocalCache.hh"
#include "qx/quarn_tools/RestClient.hh"

namespace qx::quarn_tools {

class QuarnClientPrivate {
 public:
  QuarnClientPrivate(const ClientConfig &config, const Rest &rest);
  QuarnClientPrivate(const QuarnClientPrivate &) = delete;
  QuarnClientPrivate &operator=(const QuarnClientPrivate &) = delete;

  // ---- What the client owns ----
  UrlGrammar grammar;
  ClientConfig config;
  // The client's transport: listings, licences and referral follow-ups go
  // through it with the configured user agent.
  Rest rest;
  // Built over `config`, which it reads afresh on every call.
  std::shared_ptr<LocalCache> cache;

  // ---- Its collaborators ----
  internal::ResourceUrls urls;
  internal::Downloader downloads;
  internal::ClientListings listings;
  internal::ClientCachedLookups lookups;
  internal::ClientBatchDownloads batches;
  internal::ClientUploads uploads;
  internal::ClientUpdates updates;
  internal::ResourcePolicy requests;
};

}  // namespace qx::quarn_tools

#endif  // QX_QUARN_TOOLS_SRC_QUARNCLIENTPRIVATE_HH_
