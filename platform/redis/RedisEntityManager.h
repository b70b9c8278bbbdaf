#pragma once
// The state database on Redis. The entity at path P is the hash P, one field
// per attribute in the entity's text encoding; element k of its collection is
// the hash "P|k". docs/state-db.md describes the layout.
//
// At mount every entity is loaded from Redis, so status left by an earlier
// run is what the state machines see. Read (configuration) paths then follow
// Redis through keyspace notifications; changes of write (status) paths are
// collected while a handler runs and written as one MULTI/EXEC when the loop
// comes round, a field changed twice written once. When Redis goes away the
// manager reconnects every second and resynchronises: configuration is read
// again (each difference notified as a change), status is written again in
// full.
//
// A server that answers but refuses a write (out of memory, a read-only
// replica, a failed save: any error reply but a key of the wrong type) is
// told apart from garbage and from a lost connection: the refused writes are
// kept and tried again after 1, 2, 4 ... up to 30 seconds, the connection
// stays.
#include <memory>
#include <unordered_set>

struct redisReply;

#include "platform/EventLoop.h"
#include "platform/Exception.h"
#include "platform/ProfileEntityManager.h"
#include "platform/Sinks.h"
#include "platform/redis/RedisClient.h"

namespace Quayd {

class RedisEntityManager : public ProfileEntityManager, private EntityObserver {
 public:
   // The text of a string, status or error reply; empty for the other kinds.
   static String replyText( redisReply const * r );
   static constexpr Duration kReconnectInterval = std::chrono::seconds( 1 );
   static constexpr Duration kFirstWriteRetry = std::chrono::seconds( 1 );
   static constexpr Duration kLastWriteRetry = std::chrono::seconds( 30 );

   RedisEntityManager( Redis::Address address, EventLoop & loop, Sinks sinks );
   ~RedisEntityManager() override;

   bool mount( String const & profile, String & error ) override;
   bool connected() const { return cmd_ != nullptr; }
   // Writes the status changes collected so far; the loop does it on its own.
   void flush();
   // Completed resynchronisations after a lost connection.
   uint64_t resyncs() const { return resyncs_; }
   // Whether the server refuses writes at the moment, and why.
   bool writesRefused() const { return !refusedWhy_.empty(); }
   String const & refusedWhy() const { return refusedWhy_; }

 protected:
   bool entityMounted( MountEntry const & entry, Ptr< Entity > const & entity,
                       String & error ) override;

 private:
   // One DEL, one HSET of the fields named, or the whole entity, per
   // entry; an entity's further changes go into its HSET until a DEL of its
   // path.
   struct PendingWrite {
      Ptr< Entity > entity; // null for a DEL
      String path;
      std::vector< std::pair< String, String > > fields;
      bool whole = false;
   };

   void attrChanged( Entity & e, AttrId attr ) override;
   void elementAdded( Entity & parent, Entity & element ) override;
   void elementRemoved( Entity & parent, Entity & element ) override;

   Redis::Connection & cmd();
   Redis::Connection & sub();
   void connect();
   void subscribe( String const & path );
   void onNotification();
   // Handles a keyspace message; false for any other reply.
   bool dispatch( redisReply const & r );

   void keyChanged( String const & key );
   void lost( String const & why );
   void reconnect();
   void resync();

   void load( Entity & e );
   void loadHash( Entity & e ); // the entity's own fields
   void loadElement( Entity & parent, String const & key );
   // The hash at `path`; none when the key is of another type (reported).
   std::optional< Redis::Hash > readHash( String const & path );
   // Unknown fields are reported; a value that does not decode is reported
   // and leaves its attribute as it was.
   void applyFields( Entity & e, Redis::Hash const & hash );
   // Reports, once, something in the database the agent cannot use.
   void garbage( String const & path, String const & field, String const & what,
                 String const & value = "" );
   // Collects a status change for the next flush.
   void queueFields( Entity & e, std::vector< std::pair< String, String > > fields );
   void queueDel( String const & path );
   // Sends the queue at the end of the handler run, unless a retry waits.
   void scheduleFlush();
   // Queues `e` and its elements to be written in full, stale elements
   // deleted.
   void queueAll( Entity & e );
   std::vector< std::vector< String > > writeAllCommands( Entity & e );
   std::vector< std::vector< String > > commandsOf( PendingWrite const & w );
   // Puts refused writes back ahead of newer ones, and tells.
   void refused( std::vector< PendingWrite > writes, String const & why );
   void accepted();
   std::vector< String > fieldArgs( Entity const & e ) const;
   std::vector< std::pair< String, String > > fieldValues( Entity const & e ) const;
   // Runs `f` on the command connection; a failure drops the connection.
   template < typename F >
   bool withConnection( F && f ) {
      if ( !cmd_ ) {
         return false;
      }
      try {
         f( *cmd_ );
         return true;
      } catch ( Redis::Error const & e ) {
         lost( e.what() );
         return false;
      }
   }
   // Runs `f`, which applies what Redis holds at `path`; a handler's failure
   // is that path's garbage, so the rest of the batch still applies. A lost
   // connection and a broken invariant go on up.
   template < typename F >
   void handled( String const & path, F && f ) {
      try {
         f();
      } catch ( Redis::Error const & ) {
         throw;
      } catch ( AssertionFailure const & ) {
         throw;
      } catch ( std::exception const & e ) {
         garbage( path, "", String( "handling it failed: " ) + e.what() );
      }
   }
   static constexpr char kElementSeparator = '|';
   static constexpr size_t kGarbageRemembered = 4096;

   Redis::Address address_;
   EventLoop & loop_;
   TraceHandle trace_;
   LogSink * log_;
   std::unique_ptr< Redis::Connection > cmd_;
   std::unique_ptr< Redis::Connection > sub_;
   std::map< String, Ptr< Entity > > followed_; // read paths
   std::map< String, Ptr< Entity > > written_;  // write paths
   Ptr< TimerTask > reconnectTimer_;
   std::vector< PendingWrite > pending_;
   std::map< String, size_t > pendingHset_; // path -> its entry in pending_
   Ptr< Task > flushTask_;
   Ptr< TimerTask > writeRetryTimer_;
   Duration writeRetryDelay_ = kFirstWriteRetry;
   String refusedWhy_;
   std::unordered_set< size_t > garbageReported_;
   bool lostReported_ = false;
   uint64_t resyncs_ = 0;
};

} // namespace Quayd
