#pragma once
// A policy file that the service's configuration names (JSON, comments
// allowed), read again when it changes (its inode, size or time of change differ). A file too
// large, unreadable or not a policy is refused with its reason, and the policy read last stays in
// force; `current` has none until one was good.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd::Containerz {

template < typename Policy >
class PolicyFile {
 public:
   // Beyond any policy written by hand or distributed to a switch.
   static constexpr off_t kMaxSize = 256 << 10;
   // Throws std::exception with the reason a document is no policy.
   using Parse = std::function< Policy( nlohmann::json const & ) >;

   PolicyFile( String what, String path, Parse parse )
       : what_( std::move( what ) ), path_( std::move( path ) ), parse_( std::move( parse ) ) {}

   // Why the file is not in force, when it is not.
   String refusal() {
      std::lock_guard lock( mutex_ );
      return refusal_;
   }
   std::shared_ptr< Policy const > current() {
      std::lock_guard lock( mutex_ );
      struct stat st {};
      String const seen =
         ::stat( path_.c_str(), &st ) != 0
            ? "missing"
            : fmt::format( "{}:{}:{}.{}:{}.{}", st.st_ino, st.st_size, st.st_mtim.tv_sec,
                           st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec );
      if ( seen != seen_ ) {
         seen_ = seen;
         reload( seen == "missing" ? nullptr : &st );
      }
      return policy_;
   }

 private:
   void reload( struct stat const * st ) {
      try {
         if ( !st ) {
            throw std::runtime_error( "no such file" );
         }
         if ( !S_ISREG( st->st_mode ) || st->st_size > kMaxSize ) {
            throw std::runtime_error( "not a regular file of at most " +
                                      std::to_string( kMaxSize ) + " bytes" );
         }
         std::ifstream in( path_ );
         std::ostringstream text;
         text << in.rdbuf();
         if ( !in || text.str().size() > static_cast< size_t >( kMaxSize ) ) {
            throw std::runtime_error( "cannot be read" );
         }
         policy_ = std::make_shared< Policy const >( parse_(
            nlohmann::json::parse( text.str(), nullptr, true, /*ignore_comments=*/true ) ) );
         refusal_.clear();
         std::cerr << "quayd-containerz: " << what_ << " " << path_ << " in force" << std::endl;
      } catch ( std::exception const & e ) {
         refusal_ = what_ + " " + path_ + " refused: " + e.what();
         std::cerr << "quayd-containerz: " << refusal_
                   << ( policy_ ? "; the one read before stays in force" : "" ) << std::endl;
      }
   }

   String what_;
   String path_;
   Parse parse_;
   std::mutex mutex_;
   String seen_;
   String refusal_;
   std::shared_ptr< Policy const > policy_;
};

} // namespace Quayd::Containerz
